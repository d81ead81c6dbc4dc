// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/list_box.h"

#include "spine/sjis.h"

namespace gorvane {
namespace {

constexpr unsigned char Fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

// Bytes of the character that starts at i: two for a lead byte that has its
// trail, one otherwise (a lead byte cut off at the end stands alone).
size_t UnitLength(std::string_view s, size_t i) { return sjis::IsLeadByte(s[i]) && i + 1 < s.size() ? 2 : 1; }

}  // namespace

int CompareListText(std::string_view a, std::string_view b) {
  size_t i = 0;
  // Equal units have equal lengths, so one position serves both texts.
  while (i < a.size() && i < b.size()) {
    const size_t lengthA = UnitLength(a, i);
    const size_t lengthB = UnitLength(b, i);
    if (lengthA == 1 && lengthB == 1) {
      const unsigned char x = Fold(a[i]);
      const unsigned char y = Fold(b[i]);
      if (x != y) return x < y ? -1 : 1;
      ++i;
      continue;
    }
    const int order = a.substr(i, lengthA).compare(b.substr(i, lengthB));
    if (order != 0) return order < 0 ? -1 : 1;
    i += lengthA;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace gorvane
