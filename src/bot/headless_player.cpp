// SPDX-License-Identifier: GPL-3.0-or-later
#include "bot/headless_player.h"

#include <algorithm>

#include "spine/codec.h"
#include "spine/fields.h"

namespace gorvane::bot {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Clicks made in a row without waiting: each is either answered by the
// server or refused by the client, which makes the planner choose another.
constexpr int kClicksPerStep = 16;
// How often a player without a party asks for the party list again: a
// party that finishes its game tells only its members.
constexpr auto kPartyListRefresh = std::chrono::seconds(2);
constexpr size_t kMaxPartySize = 6;

std::string_view KindOf(std::string_view message) { return message.substr(0, message.find_first_of(", ")); }

std::optional<int32_t> IntegerField(std::string_view message, size_t index) {
  const Fields fields = SplitCommaText(message);
  return index < fields.size() ? ParseInt32(fields[index]) : std::nullopt;
}

}  // namespace

void HeadlessPlayer::WatchedTransport::Send(std::string_view bytes) {
  ++sent;
  wait_.Sent(TrimMessage(bytes));
  socket_.Send(bytes);
}

HeadlessPlayer::HeadlessPlayer(PlayerOptions options, LineSink consoleLines, LineSink errorLines,
                               MessageHook afterMessage)
    : options_(std::move(options)),
      consoleLines_(std::move(consoleLines)),
      errorLines_(std::move(errorLines)),
      errorBoxLines_([this](std::string_view text) {
        if (!readingDeck_ && errorLines_) errorLines_(text);
      }),
      afterMessage_(std::move(afterMessage)),
      lobbyView_(consoleLines_),
      lobbyConsole_(lobbyView_, clock_),
      errorBox_(errorBoxLines_),
      transport_({[this] { lobby_.ClientSocket1Connect(); }, [this] { lobby_.ClientSocket1Disconnect(); },
                  [this](std::string_view bytes) { Read(bytes); },
                  [this](SocketErrorKind kind, std::string_view detail) {
                    lobby_.ClientSocket1Error(kind, detail);
                  }},
                 options_.port),
      watched_(transport_, wait_),
      lobby_({watched_, debugLog_, errorBox_, lobbyConsole_,
              options_.pauses ? static_cast<Pause&>(sleepingPause_) : noPause_, *this},
             Profile{options_.name, options_.host, options_.login, options_.password}, options_.cardListPath),
      planner_(MakePlanner(options_.strength, lobby_.cardCatalogue(),
                           options_.seed.value_or(SeedFromName(options_.name)))),
      think_(options_.think, options_.seed.value_or(SeedFromName(options_.name)) ^ 0x7468696eu),
      startGate_({options_.playersToStart, options_.startAfter}) {}

// The rooms go before the lobby they point at; nothing is said on the way.
HeadlessPlayer::~HeadlessPlayer() = default;

const CardCatalogue& HeadlessPlayer::ReadDeck() {
  readingDeck_ = true;
  lobby_.FormCreate();
  readingDeck_ = false;
  deckRead_ = true;
  return lobby_.cardCatalogue();
}

bool HeadlessPlayer::Start() {
  if (!deckRead_) lobby_.FormCreate();
  lobby_.Button1Click();
  return lobby_.online();
}

bool HeadlessPlayer::Poll(int timeoutMs) {
  if (!transport_.open()) return false;
  // A leader waiting for its party to settle starts on time, not at the end
  // of a quiet poll. The look is used up here; Act asks for the next one.
  if (startLook_) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*startLook_ - SteadyClock::now());
    const int64_t cap = std::max<int64_t>(left.count(), 0);
    if (timeoutMs < 0 || cap < timeoutMs) timeoutMs = static_cast<int>(cap);
    startLook_.reset();
  }
  transport_.Poll(timeoutMs);
  if (wait_.Overdue(SteadyClock::now(), options_.answerPatience)) {
    lobbyConsole_.AppendConsoleLine("gorvane-bot: no answer to " + wait_.command() + "; going on", kRed);
    wait_.Forget();
  }
  Act();
  return transport_.open();
}

GameWindow& HeadlessPlayer::OpenGameWindow(std::string_view) {
  rooms_.push_back(std::make_unique<Room>(
      LobbyLinks{lobby_, debugLog_, lobby_.cardCatalogue(), [this] { return lobby_.myId(); }},
      consoleLines_));
  return rooms_.back()->room;
}

void HeadlessPlayer::Read(std::string_view bytes) {
  // The session frames the bytes itself; handing them over one message at a
  // time lets the hook look at the room after each of them. The player
  // itself clicks only once the whole read is handled, as a user sees the
  // window only after the window loop has handled what arrived.
  ReadMessages(bytes);
  Act();
}

void HeadlessPlayer::ReadMessages(std::string_view bytes) {
  while (!bytes.empty()) {
    const size_t nul = bytes.find('\0');
    const std::string_view piece = bytes.substr(0, nul == std::string_view::npos ? bytes.size() : nul + 1);
    bytes.remove_prefix(piece.size());
    lobby_.ClientSocket1Read(piece);
    if (!transport_.open()) {
      // Closed while handling: an overlong message, or a send that failed.
      partial_.clear();
      return;
    }
    if (nul == std::string_view::npos) {
      partial_.append(piece);
      return;
    }
    partial_.append(piece.substr(0, piece.size() - 1));
    const std::string text(TrimMessage(partial_));
    partial_.clear();
    Handled(text);
    if (!transport_.open()) return;
  }
}

void HeadlessPlayer::Handled(std::string_view text) {
  const int32_t me = myId();
  wait_.Received(text, me);
  const std::string_view kind = KindOf(text);
  if (kind == "S_CONNECT") {
    greeted_ = false;
    inParty_ = false;
  } else if (kind == "S_GREETING") {
    if (IntegerField(text, 1) == me) {
      greeted_ = true;
      // The greeting has just asked for the lists.
      lastListRequest_ = SteadyClock::now();
    }
  } else if (kind == "S_CREATE" || kind == "S_PJOIN") {
    if (IntegerField(text, 1) == me) inParty_ = true;
  } else if (kind == "S_PBYE") {
    if (IntegerField(text, 1) == me) {
      inParty_ = false;
      if (const auto party = IntegerField(text, 2)) leftParties_.insert(*party);
    }
  } else if (kind == "S_GLIST") {
    partiesChanged_ = true;
  } else if (kind == "S_RESULT") {
    ++results_;
  }
  if (GameRoom* room = currentRoom()) {
    planner_->Observe(text, *room, me);
    std::vector<int32_t> members;
    for (const party_t& member : room->roster().members) members.push_back(member.id);
    startGate_.Saw(std::move(members), SteadyClock::now());
  }
  if (afterMessage_) afterMessage_(text);
}

void HeadlessPlayer::Act() {
  for (int i = 0; i < kClicksPerStep; ++i) {
    if (!transport_.active() || !greeted_ || wait_.waiting()) return;
    const int before = watched_.sent;
    if (!inParty_) {
      LookForParty();
      return;
    }
    GameRoom* room = currentRoom();
    if (room == nullptr || !Step(*room)) return;
    // A click that sent something waits for its answer (or needs none); one
    // the client refused is followed by the planner's next choice.
    if (watched_.sent != before && !wait_.waiting()) return;
  }
}

void HeadlessPlayer::LookForParty() {
  if (options_.mode == Mode::kCreate) {
    lobby_.P1Click();
    return;
  }
  const auto now = SteadyClock::now();
  if (!partiesChanged_) {
    if (now - lastListRequest_ > kPartyListRefresh) {
      lastListRequest_ = now;
      lobby_.G1Click();
    }
    return;
  }
  partiesChanged_ = false;
  lastListRequest_ = now;
  LobbyLists& lists = lobby_.lists();
  std::optional<size_t> choice;
  int32_t chosenNumber = 0;
  for (size_t row = 0; row < lists.ListBox2().size(); ++row) {
    const PartyEntry& party = lists.ListBox2().row(row).carried;
    if (party.playing || leftParties_.count(party.number) != 0) continue;
    if (options_.mode == Mode::kJoin && party.number != options_.party) continue;
    const auto record = std::find_if(lists.groupList().begin(), lists.groupList().end(),
                                     [&](const grouplist_t& g) { return g.number == party.number; });
    if (record != lists.groupList().end() && record->count >= static_cast<int32_t>(kMaxPartySize)) continue;
    if (!choice || party.number < chosenNumber) {
      choice = row;
      chosenNumber = party.number;
    }
  }
  if (!choice) return;
  lists.ListBox2().Select(choice);
  lobby_.J1Click();
}

bool HeadlessPlayer::Step(GameRoom& room) {
  const int32_t me = myId();
  const PartyRoster& roster = room.roster();
  const bool leading = roster.leaderId == me;
  if (!room.state().gameRunning) {
    if (options_.mode == Mode::kCreate) {
      const bool more = !options_.gamesToStart || gamesStarted_ < *options_.gamesToStart;
      if (!leading || !room.screen().startEnabled || !more) return false;
      const StartVerdict verdict = startGate_.Decide(SteadyClock::now());
      if (!verdict.start) {
        startLook_ = verdict.lookAgain;
        return false;
      }
      room.S1Click();
      ++gamesStarted_;
      return true;
    }
    // Whoever made the party has gone: a follower does not lead, it leaves
    // and goes to the next party someone makes.
    if (leading) {
      room.FormClose();
      return true;
    }
    return false;
  }
  const auto click = planner_->Next(room, me);
  if (!click) return false;
  if (const auto wait = think_.Next()) thinkPause_.Wait(*wait);
  const int before = watched_.sent;
  PressClick(room, *click);
  planner_->Clicked(*click, watched_.sent != before);
  return true;
}

}  // namespace gorvane::bot
