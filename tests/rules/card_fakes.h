// SPDX-License-Identifier: GPL-3.0-or-later
// Card lists written to a file of their own and loaded into a catalogue.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "../spine/fakes.h"
#include "rules/card_catalogue.h"

namespace gorvane::testing {

// Writes bytes to a file of its own under the temporary directory and
// removes it again.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    // Unique among the files alive at the same time.
    path_ =
        std::filesystem::temp_directory_path() / ("gorvane_cards_" + std::to_string(::getpid()) + "_" +
                                                  std::to_string(reinterpret_cast<uintptr_t>(this)) + ".txt");
    std::ofstream(path_, std::ios::binary) << bytes;
  }
  ~TempFile() { std::filesystem::remove(path_); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// A catalogue loaded from the given card list bytes.
inline void LoadCards(CardCatalogue& catalogue, const std::string& bytes) {
  TempFile file(bytes);
  FakeErrorBox errors;
  FakeDebugLog log;
  catalogue.LoadCardList(file.path(), errors, log);
}

// A small deck for turn tests: cards 1 to 10 of every kind that matters,
// card 58 the charm spell, and fillers (other monsters of strength 9) up to 60.
inline std::string TestDeck() {
  static constexpr const char* kCards[] = {
      "c1 L Path 0 0 10",  "c2 L Road 0 0 20",  "c3 F Knight 0 1 2", "c4 H Orc 0 1 8",   "c5 U Ghoul 0 1 6",
      "c6 C Priest 0 0 0", "c7 P Detour 0 0 0", "c8 O Pit 0 0 0",    "c9 T Rogue 0 1 1", "c10 E Elf 0 1 3"};
  std::string text;
  for (int n = 1; n <= 60; ++n) {
    const char* line = n <= 10 ? kCards[n - 1] : n == 58 ? "c58 S Charm 0 1 0" : "f W Filler 0 0 9";
    text += std::string(line) + "\r\n";
  }
  return text;
}

}  // namespace gorvane::testing
