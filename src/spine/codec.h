// SPDX-License-Identifier: GPL-3.0-or-later
// The comma-text field codec of server messages and the trimming of
// received messages. All functions work on bytes; code page 932 double-byte
// characters never contain a byte these rules react to.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace gorvane {

using Fields = std::vector<std::string>;
// Fields that live elsewhere (in a message, in a FieldViews).
using FieldList = std::span<const std::string_view>;

// Any byte 0x01..0x20 separates fields like a delimiter does (and in a
// split, so does a NUL byte, which only a file can hold).
constexpr bool IsBlank(unsigned char c) { return c >= 0x01 && c <= 0x20; }

// Blanks, and also a NUL byte, which ends an unquoted field like a blank
// does: were it not skipped like one, a split would stop moving there.
// The wire never carries one inside a message; a file may.
constexpr bool SeparatesFields(char c) { return static_cast<unsigned char>(c) <= 0x20; }

Fields SplitDelimitedText(std::string_view text, char delimiter);
Fields SplitCommaText(std::string_view text);
std::string JoinCommaText(const Fields& fields);
std::string JoinCommaText(FieldList fields);

// The fields of a text split by the rules of SplitDelimitedText, without a
// string per field: each is a view into the text, or, where a doubled quote
// had to be made single, into this object's own buffer. The views stay
// valid while the text does, until the next Split. Up to kInline fields
// cost no allocation at all, so the messages of a game split for free.
class FieldViews {
 public:
  static constexpr size_t kInline = 16;

  FieldViews() = default;
  explicit FieldViews(std::string_view text, char delimiter = ',') { Split(text, delimiter); }
  // The views may point into the object itself.
  FieldViews(const FieldViews&) = delete;
  FieldViews& operator=(const FieldViews&) = delete;

  // Replaces the fields with those of text.
  void Split(std::string_view text, char delimiter = ',');
  // Replaces the fields with those the framing already found for a comma
  // text (MessageFramer): the fields of Split(text), for less. They are
  // used where they are, valid as long as the framing keeps them.
  void Adopt(FieldList found) {
    data_ = found.data();
    size_ = found.size();
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view operator[](size_t index) const { return data()[index]; }
  const std::string_view* begin() const { return data(); }
  const std::string_view* end() const { return data() + size_; }
  FieldList list() const { return {data(), size_}; }
  operator FieldList() const { return list(); }  // NOLINT(google-explicit-constructor)

 private:
  const std::string_view* data() const { return data_; }
  void Add(std::string_view field) {
    if (size_ == capacity_) Grow();
    fields_[size_++] = field;
  }
  // Past kInline fields: all of them move to the heap, with room for as many
  // as the text has delimiters.
  void Grow();

  // Adds the quoted field whose content starts at content; returns where
  // the text goes on after it.
  size_t QuotedField(size_t content);
  std::string_view Unquoted(size_t from) const {
    return std::string_view(unquoted_.data() + from, unquotedSize_ - from);
  }

  std::array<std::string_view, kInline> inline_;
  std::vector<std::string_view> heap_;
  // inline_ or heap_.
  std::string_view* fields_ = inline_.data();
  // fields_, or adopted fields.
  const std::string_view* data_ = inline_.data();
  size_t capacity_ = kInline;
  size_t size_ = 0;
  std::string_view text_;
  char delimiter_ = ',';
  // Quoted fields with their doubled quotes made single; only ever grows,
  // unquotedSize_ bytes of it in use.
  std::string unquoted_;
  size_t unquotedSize_ = 0;
};

// The bytes after the first blank (0x20) of a message text, untouched; the
// whole text when it has none.
std::string_view TextAfterFirstSpace(std::string_view text);

// Drops every leading and trailing byte 0x00..0x20 (terminator, CR LF, blanks).
inline std::string_view TrimMessage(std::string_view bytes) {
  size_t begin = 0;
  size_t end = bytes.size();
  while (begin < end && static_cast<unsigned char>(bytes[begin]) <= 0x20) ++begin;
  while (end > begin && static_cast<unsigned char>(bytes[end - 1]) <= 0x20) --end;
  return bytes.substr(begin, end - begin);
}

}  // namespace gorvane
