// Card list files for the game tests.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "../core/fakes.h"
#include "game/card_catalogue.h"

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

}  // namespace gorvane::testing
