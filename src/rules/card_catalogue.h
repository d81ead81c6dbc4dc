// SPDX-License-Identifier: GPL-3.0-or-later
// The card catalogue: what the server's card numbers stand for, loaded once
// at start-up from the card list file, and the texts that show a card.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "spine/ports.h"

namespace gorvane {

// One card. Texts are code page 932 bytes.
struct card_t {
  std::string ident;  // kept, not used
  char kind = 0;      // kind letter; 0 for a blank card
  std::string name;
  int32_t aux = 0;  // kept, not used
  int32_t dice = 0;
  int32_t value = 0;
};

inline constexpr int32_t kCardCount = 200;
// Whether a number from the server names a card at all.
constexpr bool IsCardNumber(int32_t number) { return number >= 1 && number <= kCardCount; }
// The card that charms the monster it defeats.
inline constexpr int32_t kCharmCard = 58;
// The other card that fights only a humanoid monster.
inline constexpr int32_t kSleepCard = 54;

inline constexpr std::string_view kCardListFile = "longcardlist.txt";

// What stopped a card list load short, for callers that judge it themselves.
struct CardListFault {
  size_t line = 0;     // the bad line, from 1; 0: the file could not be read
  std::string reason;  // what is wrong with that line, code page 932
};

// The tag CardText appends for a kind letter; empty for kinds without one.
std::string KindTag(char kind);

class CardCatalogue {
 public:
  // Fills the catalogue from the card list file at path. A file that cannot
  // be read leaves every card blank; a bad line stops the loading there and
  // keeps the cards before it. Either is reported in an error box so that
  // the client can still start. Lines past the last card number are ignored
  // with a note in the debug log.
  void LoadCardList(const std::string& path, ErrorBox& errorBox, DebugLog& debugLog);
  // What stopped the last load short, or nothing when it read the whole file.
  const std::optional<CardListFault>& fault() const { return fault_; }

  // Card number n; any number outside 1..200 reads as a blank card.
  const card_t& Card(int32_t number) const;

  // Name, dice and value, and the kind's tag: "N(2D+1)[戦士]".
  const std::string& CardText(int32_t number) const;

 private:
  void ReadCards(const std::string& path, ErrorBox& errorBox, DebugLog& debugLog);
  static size_t Index(int32_t number) { return IsCardNumber(number) ? static_cast<size_t>(number) : 0; }

  // Indexed by card number; entry 0 is never loaded and serves as the blank
  // card for numbers that are not cards.
  std::array<card_t, kCardCount + 1> cardCatalogue{};
  // CardText of each entry, made once when the list is read: the texts are
  // shown in every hand row and in the console for every card played.
  std::array<std::string, kCardCount + 1> cardTexts_{};
  std::optional<CardListFault> fault_;
};

}  // namespace gorvane
