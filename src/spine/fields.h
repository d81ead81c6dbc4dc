// SPDX-License-Identifier: GPL-3.0-or-later
// Reading the fields of one server message, with the error the user sees
// when a field is missing or not a number.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "spine/codec.h"

namespace gorvane {

// Stops the handling of one message. what() is the error box text in code
// page 932.
class FieldError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Signed 32-bit decimal with an optional sign; anything else (blanks, hex,
// out of range) is not an integer.
std::optional<int32_t> ParseInt32(std::string_view text);

// The two error box texts.
std::string MissingFieldText(size_t index);
std::string NotAnIntegerText(std::string_view text);

// Field i of a list, or FieldError naming i.
const std::string& FieldAt(const Fields& fields, size_t index);
// Field i as an integer, or FieldError.
int32_t IntegerAt(const Fields& fields, size_t index);
// A text as an integer, or FieldError.
int32_t ToInteger(std::string_view text);
// JoinCommaText of fields[from..]; the empty text when there are none.
std::string CommaTextFrom(const Fields& fields, size_t from);

// The same over fields held as views.
std::string_view FieldAt(FieldList fields, size_t index);
int32_t IntegerAt(FieldList fields, size_t index);
std::string CommaTextFrom(FieldList fields, size_t from);

}  // namespace gorvane
