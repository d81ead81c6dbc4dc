// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/lobby/names.h"

#include <array>
#include <cstdint>

#include "server/base/limits.h"
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

// Characters of code page 932 that show as another one on the players'
// screens, and the one they pass for. Latin letters are in lower case here
// because every Latin letter is folded to it first; every other entry is
// the character as it stands after the width fold.
struct Lookalike {
  char32_t shown;
  char32_t passesFor;
};
constexpr Lookalike kLookalikes[] = {
    // Cyrillic and Greek letters drawn like Latin ones (and like each other).
    {U'А', U'a'},
    {U'а', U'a'},
    {U'Α', U'a'},
    {U'В', U'b'},
    {U'Β', U'b'},
    {U'ь', U'b'},
    {U'С', U'c'},
    {U'с', U'c'},
    {U'Е', U'e'},
    {U'е', U'e'},
    {U'Ε', U'e'},
    {U'Н', U'h'},
    {U'Η', U'h'},
    {U'Ι', U'i'},
    {U'К', U'k'},
    {U'к', U'k'},
    {U'Κ', U'k'},
    {U'κ', U'k'},
    {U'М', U'm'},
    {U'Μ', U'm'},
    {U'Ν', U'n'},
    {U'О', U'o'},
    {U'о', U'o'},
    {U'Ο', U'o'},
    {U'ο', U'o'},
    {U'Р', U'p'},
    {U'р', U'p'},
    {U'Ρ', U'p'},
    {U'ρ', U'p'},
    {U'Т', U't'},
    {U'Τ', U't'},
    {U'υ', U'u'},
    {U'ι', U'i'},
    {U'ω', U'w'},
    {U'ν', U'v'},
    {U'Х', U'x'},
    {U'х', U'x'},
    {U'Χ', U'x'},
    {U'χ', U'x'},
    {U'У', U'y'},
    {U'у', U'y'},
    {U'Υ', U'y'},
    {U'Ζ', U'z'},
    {U'З', U'3'},
    {U'з', U'3'},
    {U'Г', U'Γ'},
    {U'П', U'Π'},
    {U'Ф', U'Φ'},
    {U'ф', U'φ'},
    // Roman numerals of the NEC and IBM rows.
    {U'Ⅰ', U'i'},
    {U'ⅰ', U'i'},
    {U'Ⅴ', U'v'},
    {U'ⅴ', U'v'},
    {U'Ⅹ', U'x'},
    {U'ⅹ', U'x'},
    // The long-vowel mark, the kanji one and the dashes: one stroke.
    {U'ー', U'-'},
    {U'一', U'-'},
    {U'‐', U'-'},
    {U'―', U'-'},
    {U'─', U'-'},
    {U'━', U'-'},
    // Kanji and hiragana drawn like katakana.
    {U'力', U'カ'},
    {U'工', U'エ'},
    {U'口', U'ロ'},
    {U'二', U'ニ'},
    {U'三', U'ミ'},
    {U'八', U'ハ'},
    {U'卜', U'ト'},
    {U'夕', U'タ'},
    {U'才', U'オ'},
    {U'へ', U'ヘ'},
    {U'べ', U'ベ'},
    {U'ぺ', U'ペ'},
    // A bracket drawn like the mark that ends a chat line's speaker.
    {U'〉', U'>'},
};

char32_t PassesFor(char32_t c) {
  for (const Lookalike& row : kLookalikes) {
    if (row.shown == c) return row.passesFor;
  }
  return c;
}

bool IsBlank(std::string_view cp932, size_t at) {
  return cp932[at] == ' ' || cp932.substr(at, 2) == "\x81\x40";
}

size_t CharBytes(std::string_view cp932, size_t at) {
  return sjis::IsLeadByte(static_cast<unsigned char>(cp932[at])) && at + 1 < cp932.size() ? 2 : 1;
}

std::string TrimBlanks(std::string_view cp932) {
  size_t begin = 0;
  while (begin < cp932.size() && IsBlank(cp932, begin)) begin += CharBytes(cp932, begin);
  size_t end = begin;
  for (size_t at = begin; at < cp932.size(); at += CharBytes(cp932, at)) {
    if (!IsBlank(cp932, at)) end = at + CharBytes(cp932, at);
  }
  return std::string(cp932.substr(begin, end - begin));
}

}  // namespace

std::string CleanName(std::string_view argument) {
  // Trimmed before the cut so that leading blanks take no room, and after
  // it for the blanks the cut leaves at the end.
  return TrimBlanks(CleanText(TrimBlanks(CleanText(argument, argument.size())), kNameBytes));
}

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
    c = PassesFor(c);
    if (c == U' ' && (folded.empty() || folded.back() == U' ')) continue;
    folded.push_back(c);
  }
  if (!folded.empty() && folded.back() == U' ') folded.pop_back();
  std::string key;
  for (char32_t c : folded) sjis::AppendUtf8(key, c);
  return key;
}

bool Shown(std::string_view cp932) {
  const std::string utf8 = sjis::ToUtf8(cp932);
  for (size_t at = 0; at < utf8.size();) {
    const char32_t c = sjis::NextUtf8(utf8, at);
    // ToUtf8 shows what is no character as U+FFFD; the user-defined rows
    // decode to the private use area, drawn differently by every font.
    if (c == sjis::kNotUtf8 || c == 0xFFFD || (c >= 0xE000 && c <= 0xF8FF)) return false;
  }
  return true;
}

NameRefusal CheckName(std::string_view cleaned, const NameTaken& taken) {
  if (cleaned.empty()) return NameRefusal::kEmpty;
  if (cleaned.find('"') != std::string_view::npos) return NameRefusal::kQuote;
  if (!Shown(cleaned)) return NameRefusal::kUnshown;
  const std::string key = NameKey(cleaned);
  if (key.find('>') != std::string::npos) return NameRefusal::kSpeaker;
  if (key == "sys" || key.starts_with("sys:")) return NameRefusal::kSystem;
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
    case NameRefusal::kUnshown:
      return "a name with a user-defined character or bytes that are not code page 932";
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
  // Keep what can stay: drop the quotes, the speaker marks and what does
  // not show alike everywhere.
  std::string base;
  for (size_t i = 0; i < cleaned.size(); i += CharBytes(cleaned, i)) {
    const std::string_view one = cleaned.substr(i, CharBytes(cleaned, i));
    if (one != "\"" && one != ">" && Shown(one)) base.append(one);
  }
  base = TrimBlanks(base);
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
