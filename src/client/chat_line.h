// SPDX-License-Identifier: GPL-3.0-or-later
// The lobby's chat line: its text and whether the user has touched it since
// the program last set it. An untouched empty line sends nothing on Enter; a
// line typed and erased again sends an empty chat.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace gorvane {

// The virtual key code of Enter.
inline constexpr int kEnterKey = 13;

class ChatLine {
 public:
  const std::string& text() const { return text_; }

  // The user changed the text: typed, deleted, pasted, cut.
  void Edited(std::string text) {
    text_ = std::move(text);
    edited_ = true;
  }

  // Enter: the line to send, or nothing; either way the line is left empty
  // and untouched.
  std::optional<std::string> Enter() {
    if (text_.empty() && !edited_) return std::nullopt;
    std::string line = std::move(text_);
    text_.clear();
    edited_ = false;
    return line;
  }

 private:
  std::string text_;
  bool edited_ = false;
};

}  // namespace gorvane
