// SPDX-License-Identifier: GPL-3.0-or-later
#include "rules/card_catalogue.h"

#include <fstream>
#include <ios>
#include <iterator>
#include <optional>
#include <vector>

#include "spine/codec.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane {
namespace {

// The whole file, or nothing when it cannot be opened or read.
std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  try {
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
  } catch (const std::ios_base::failure&) {
    // A directory opens, then fails its first read.
    return std::nullopt;
  }
}

// Lines end with CR, LF or CR LF; a line break at the very end does not
// start another line.
std::vector<std::string_view> SplitLines(std::string_view bytes) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    const size_t end = bytes.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.push_back(bytes.substr(start));
      break;
    }
    lines.push_back(bytes.substr(start, end - start));
    start = end + (bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n' ? 2 : 1);
  }
  return lines;
}

// One line of the file as a card; FieldError says what is wrong with it.
card_t ParseCard(std::string_view line) {
  const Fields fields = SplitCommaText(line);
  card_t card;
  card.ident = FieldAt(fields, 0);
  const std::string& kind = FieldAt(fields, 1);
  // A line without a kind letter would load as a card that plays as
  // nothing in particular: refuse it like a line that is too short.
  if (kind.empty()) throw FieldError("カードの種類が空です"_cp932);
  card.kind = kind.front();
  card.name = FieldAt(fields, 2);
  card.aux = IntegerAt(fields, 3);
  card.dice = IntegerAt(fields, 4);
  card.value = IntegerAt(fields, 5);
  return card;
}

}  // namespace

std::string KindTag(char kind) {
  switch (kind) {
    case 'D':
      return "[ドワーフ]"_cp932;
    case 'E':
      return "[エルフ]"_cp932;
    case 'F':
      return "[戦士]"_cp932;
    case 'M':
      return "[魔術師]"_cp932;
    case 'T':
      return "[シーフ]"_cp932;
    case 'S':
      return "[呪文]"_cp932;
    case 'H':
      return "<Humanoid>";
    case 'U':
      return "<Undead>";
    default:
      return {};
  }
}

void CardCatalogue::LoadCardList(const std::string& path, ErrorBox& errorBox, DebugLog& debugLog) {
  ReadCards(path, errorBox, debugLog);
  for (size_t k = 0; k < cardCatalogue.size(); ++k) {
    const card_t& card = cardCatalogue[k];
    std::string text = card.name;
    if (card.dice != 0) {
      text += "(" + std::to_string(card.dice) + "D";
      if (card.value != 0) text += "+" + std::to_string(card.value);
      text += ")";
    } else if (card.value != 0) {
      text += "(" + std::to_string(card.value) + ")";
    }
    cardTexts_[k] = text + KindTag(card.kind);
  }
}

void CardCatalogue::ReadCards(const std::string& path, ErrorBox& errorBox, DebugLog& debugLog) {
  cardCatalogue.fill(card_t{});
  fault_.reset();
  const std::optional<std::string> bytes = ReadFile(path);
  if (!bytes) {
    fault_ = CardListFault{};
    errorBox.ShowError(path + " を開けません"_cp932);
    return;
  }
  const std::vector<std::string_view> lines = SplitLines(*bytes);
  for (size_t k = 1; k <= lines.size(); ++k) {
    if (k > static_cast<size_t>(kCardCount)) {
      debugLog.AppendLine("LoadCardList: " + path + ": " + std::to_string(lines.size() - kCardCount) +
                          " lines after card " + std::to_string(kCardCount) + " ignored");
      return;
    }
    try {
      cardCatalogue[k] = ParseCard(lines[k - 1]);
    } catch (const FieldError& error) {
      fault_ = CardListFault{k, error.what()};
      errorBox.ShowError(path + " の "_cp932 + std::to_string(k) + " 行目: "_cp932 + error.what());
      return;
    }
  }
}

const card_t& CardCatalogue::Card(int32_t number) const { return cardCatalogue[Index(number)]; }

const std::string& CardCatalogue::CardText(int32_t number) const { return cardTexts_[Index(number)]; }

}  // namespace gorvane
