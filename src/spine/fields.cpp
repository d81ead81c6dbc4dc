// SPDX-License-Identifier: GPL-3.0-or-later
#include "spine/fields.h"

#include <charconv>

#include "spine/sjis.h"

namespace gorvane {

std::optional<int32_t> ParseInt32(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  if (text.empty()) return std::nullopt;
  int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, 10);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::string MissingFieldText(size_t index) {
  return "リストのインデックスが範囲を超えています ("_cp932 + std::to_string(index) + ")";
}

std::string NotAnIntegerText(std::string_view text) {
  return "'" + std::string(text) + "' は整数ではありません"_cp932;
}

const std::string& FieldAt(const Fields& fields, size_t index) {
  if (index >= fields.size()) throw FieldError(MissingFieldText(index));
  return fields[index];
}

int32_t ToInteger(std::string_view text) {
  const auto value = ParseInt32(text);
  if (!value) throw FieldError(NotAnIntegerText(text));
  return *value;
}

int32_t IntegerAt(const Fields& fields, size_t index) { return ToInteger(FieldAt(fields, index)); }

std::string CommaTextFrom(const Fields& fields, size_t from) {
  if (from >= fields.size()) return {};
  return JoinCommaText(Fields(fields.begin() + static_cast<std::ptrdiff_t>(from), fields.end()));
}

std::string_view FieldAt(FieldList fields, size_t index) {
  if (index >= fields.size()) throw FieldError(MissingFieldText(index));
  return fields[index];
}

int32_t IntegerAt(FieldList fields, size_t index) { return ToInteger(FieldAt(fields, index)); }

std::string CommaTextFrom(FieldList fields, size_t from) {
  if (from >= fields.size()) return {};
  return JoinCommaText(fields.subspan(from));
}

}  // namespace gorvane
