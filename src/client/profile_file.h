// The client's settings file: a sectioned profile ("INI") text file in the
// classic Windows layout, held as code page 932 bytes. Writes touch only the
// line they change, so hand edits, comments and line endings survive.
#pragma once

#include <string>
#include <string_view>

namespace gorvane {

class ProfileFile {
 public:
  explicit ProfileFile(std::string path);

  const std::string& path() const;

  // The value of key in section, or defaultValue when the file, the section
  // or the key is missing. Blanks around the value and one pair of enclosing
  // quotes are dropped; at most kMaxValueBytes bytes come back, never half a
  // double-byte character.
  std::string ReadString(std::string_view section, std::string_view key, std::string_view defaultValue) const;
  // Whether the file holds the key in section (false when it cannot be read).
  bool HasKey(std::string_view section, std::string_view key) const;

  // Replaces the key's value in place, or adds the key (and its section, at
  // the end of the file) when missing. Creates the file when it does not
  // exist. Returns false when the file cannot be read back or written (the
  // file is then left as it was), or when the section or key name could not
  // be read back as written (a line break, a ']' in a section name; an empty
  // key, a '=' in a key or a key that would start a comment or a section).
  bool WriteString(std::string_view section, std::string_view key, std::string_view value);

  static constexpr size_t kMaxValueBytes = 2047;

 private:
  std::string path_;
};

}  // namespace gorvane
