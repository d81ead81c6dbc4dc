// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/lobby/names.h"

#include <array>
#include <cstdint>

#include "spine/sjis.h"

namespace gorvane::server {
namespace {

// Half-width katakana U+FF61..U+FF9F as their full-width forms.
constexpr std::array<char32_t, 63> kFullWidthKana = {
    U'。', U'「', U'」', U'、', U'・', U'ヲ', U'ァ', U'ィ', U'ゥ', U'ェ', U'ォ', U'ャ', U'ュ',
    U'ョ', U'ッ', U'ー', U'ア', U'イ', U'ウ', U'エ', U'オ', U'カ', U'キ', U'ク', U'ケ', U'コ',
    U'サ', U'シ', U'ス', U'セ', U'ソ', U'タ', U'チ', U'ツ', U'テ', U'ト', U'ナ', U'ニ', U'ヌ',
    U'ネ', U'ノ', U'ハ', U'ヒ', U'フ', U'ヘ', U'ホ', U'マ', U'ミ', U'ム', U'メ', U'モ', U'ヤ',
    U'ユ', U'ヨ', U'ラ', U'リ', U'ル', U'レ', U'ロ', U'ワ', U'ン', U'゛', U'゜'};

// A full-width kana followed by a voiced or semi-voiced mark, as one letter:
// "ｶﾞ" shows as "ガ". In the katakana block the voiced form follows its base.
bool JoinMark(std::u32string& folded, char32_t mark) {
  if (folded.empty()) return false;
  char32_t& base = folded.back();
  if (mark == U'゛') {
    if (base == U'ウ') {
      base = U'ヴ';
      return true;
    }
    if ((base >= U'カ' && base <= U'チ' && (base - U'カ') % 2 == 0) ||
        (base >= U'ツ' && base <= U'ト' && (base - U'ツ') % 2 == 0) ||
        (base >= U'ハ' && base <= U'ホ' && (base - U'ハ') % 3 == 0)) {
      base += 1;
      return true;
    }
  } else if (base >= U'ハ' && base <= U'ホ' && (base - U'ハ') % 3 == 0) {
    base += 2;
    return true;
  }
  return false;
}

}  // namespace

std::string NameKey(std::string_view cp932) {
  std::u32string folded;
  const std::string utf8 = sjis::ToUtf8(cp932);
  for (size_t at = 0; at < utf8.size();) {
    char32_t c = sjis::NextUtf8(utf8, at);
    if (c == sjis::kNotUtf8) c = static_cast<unsigned char>(utf8[at++]);
    if (c >= 0xFF01 && c <= 0xFF5E) c -= 0xFEE0;
    if (c == 0x3000) c = U' ';
    if (c >= 0xFF61 && c <= 0xFF9F) {
      c = kFullWidthKana[c - 0xFF61];
      if ((c == U'゛' || c == U'゜') && JoinMark(folded, c)) continue;
    }
    if (c >= U'A' && c <= U'Z') c += U'a' - U'A';
    folded.push_back(c);
  }
  std::string key;
  for (char32_t c : folded) sjis::AppendUtf8(key, c);
  return key;
}

NameRefusal CheckName(std::string_view cleaned, const NameTaken& taken) {
  if (cleaned.empty()) return NameRefusal::kEmpty;
  if (cleaned.find('"') != std::string_view::npos) return NameRefusal::kQuote;
  const std::string key = NameKey(cleaned);
  if (key.find('>') != std::string::npos) return NameRefusal::kSpeaker;
  const std::string_view bare =
      std::string_view(key).substr(std::min(key.find_first_not_of(' '), key.size()));
  if (bare == "sys" || bare.starts_with("sys:")) return NameRefusal::kSystem;
  if (taken(key)) return NameRefusal::kTaken;
  return NameRefusal::kNone;
}

std::string_view RefusalText(NameRefusal refusal) {
  switch (refusal) {
    case NameRefusal::kNone:
      return "accepted";
    case NameRefusal::kEmpty:
      return "an empty name";
    case NameRefusal::kQuote:
      return "a name with a double quote";
    case NameRefusal::kSpeaker:
      return "a name with '>'";
    case NameRefusal::kSystem:
      return "a name the client shows as its own system line";
    case NameRefusal::kTaken:
      return "another user's name";
  }
  return "refused";
}

std::string UniqueName(std::string_view cleaned, const NameTaken& taken, size_t limit) {
  // Keep what can stay: drop the quotes and the speaker marks.
  std::string base;
  for (size_t i = 0; i < cleaned.size(); ++i) {
    const auto c = static_cast<unsigned char>(cleaned[i]);
    if (sjis::IsLeadByte(c) && i + 1 < cleaned.size()) {
      base.append(cleaned.substr(i, 2));
      ++i;
    } else if (c != '"' && c != '>') {
      base.push_back(static_cast<char>(c));
    }
  }
  const NameTaken never = [](const std::string&) { return false; };
  const NameRefusal left = CheckName(base, never);
  if (left != NameRefusal::kNone) base = "player";
  for (int number = 1;; ++number) {
    std::string suffix = number == 1 ? "" : std::to_string(number);
    std::string name = base;
    // Cut on a character boundary so the number fits.
    size_t keep = 0;
    for (size_t i = 0; i < name.size();) {
      const size_t width = sjis::IsLeadByte(static_cast<unsigned char>(name[i])) ? 2 : 1;
      if (i + width + suffix.size() > limit) break;
      i += width;
      keep = i;
    }
    name.resize(keep);
    name += suffix;
    if (CheckName(name, taken) == NameRefusal::kNone) return name;
  }
}

}  // namespace gorvane::server
