// SPDX-License-Identifier: GPL-3.0-or-later
#include "bot/answer_wait.h"

#include "spine/codec.h"
#include "spine/fields.h"

namespace gorvane::bot {
namespace {

std::string_view KindOf(std::string_view text, std::string_view separators) {
  return text.substr(0, text.find_first_of(separators));
}

}  // namespace

void AnswerWait::Sent(std::string_view command) {
  const std::string_view kind = KindOf(command, " ");
  std::vector<Answer> answers;
  if (kind == "P_DROW") {
    answers = {{"S_DREW", false}, {"S_FDREW", false}};
  } else if (kind == "P_PLAY") {
    answers = {{"S_PLAYED", false}, {"S_UNPLAYED", false}};
  } else if (kind == "P_PILE") {
    answers = {{"S_PILED", false}, {"S_FPILE", false}};
  } else if (kind == "P_TURNEND") {
    answers = {{"S_TURNEND", true}};
  } else if (kind == "P_START") {
    answers = {{"S_FIRSTHAND", false}};
  } else if (kind == "P_CREATE") {
    answers = {{"S_CREATE", true}};
  } else if (kind == "P_JOIN") {
    answers = {{"S_PJOIN", true}, {"S_PCANCEL", false}};
  } else if (kind == "P_BYE") {
    answers = {{"S_PBYE", true}};
  } else {
    return;  // lists, chat and goodbyes: nothing to wait for
  }
  awaited_ = std::move(answers);
  command_ = std::string(command);
  since_ = std::chrono::steady_clock::now();
}

void AnswerWait::Received(std::string_view message, int32_t myId) {
  if (awaited_.empty()) return;
  const std::string_view kind = KindOf(message, ", ");
  // The end of a game, or a change of the party, answers whatever a game
  // command was waiting for: the server may have dropped it silently.
  if (kind == "S_RESULT" || kind == "S_QUITGAME" || kind == "S_LEADER") {
    awaited_.clear();
    return;
  }
  for (const Answer& answer : awaited_) {
    if (kind != answer.kind) continue;
    if (answer.ownIdFirst) {
      const Fields fields = SplitCommaText(message);
      if (fields.size() < 2 || ParseInt32(fields[1]) != myId) continue;
    }
    awaited_.clear();
    return;
  }
}

}  // namespace gorvane::bot
