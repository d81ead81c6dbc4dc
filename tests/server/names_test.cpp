// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/lobby/names.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "spine/sjis.h"

namespace gorvane::server {
namespace {

// Each refused form, in the widths and cases that show alike, and the
// accepted neighbours that must not be caught with them.
TEST(Names, OneRuleForEveryFormThatPassesForSomebodyElse) {
  const std::set<std::string> joined = {NameKey("alice"), NameKey(sjis::Text("マジュツシ"))};
  const NameTaken taken = [&](const std::string& key) { return joined.count(key) > 0; };
  struct Row {
    const char* utf8;
    NameRefusal want;
  } rows[] = {
      {"", NameRefusal::kEmpty},          {"al\"ice", NameRefusal::kQuote},
      {"bob> hi", NameRefusal::kSpeaker}, {"bob＞ hi", NameRefusal::kSpeaker},
      {"SYS", NameRefusal::kSystem},      {"sys: 管理者", NameRefusal::kSystem},
      {"ＳＹＳ：", NameRefusal::kSystem}, {" SyS:x", NameRefusal::kSystem},
      {"ALICE", NameRefusal::kTaken},     {"ａｌｉｃｅ", NameRefusal::kTaken},
      {"ﾏｼﾞｭﾂｼ", NameRefusal::kTaken},    {"sysop", NameRefusal::kNone},
      {"SYS-admin", NameRefusal::kNone},  {"alice2", NameRefusal::kNone},
      {"魔術師", NameRefusal::kNone},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(CheckName(sjis::Text(row.utf8), taken), row.want) << row.utf8;
  }
}

// The server speaks its own chat lines under a name nobody may join as.
TEST(Names, TheServersSpeakerIsNobodysName) {
  const NameTaken never = [](const std::string&) { return false; };
  EXPECT_EQ(CheckName(std::string(kServerSpeaker), never), NameRefusal::kSystem);
}

TEST(Names, HalfWidthKanaFoldsWithItsVoicedMarks) {
  EXPECT_EQ(NameKey(sjis::Text("ｶﾞﾄﾞﾂﾞﾊﾟｳﾞ")), NameKey(sjis::Text("ガドヅパヴ")));
  EXPECT_NE(NameKey(sjis::Text("ｶﾞ")), NameKey(sjis::Text("カ")));
}

TEST(Names, ARefusedJoinGetsAUniqueUsableName) {
  std::set<std::string> joined = {NameKey("alice"), NameKey("alice2"), NameKey("player")};
  const NameTaken taken = [&](const std::string& key) { return joined.count(key) > 0; };
  struct Row {
    std::string asked;
    std::string want;
  } rows[] = {
      {"ALICE", "ALICE3"},
      {"bob> hi", "bob hi"},
      {"\"", "player2"},
      {"SYS: root", "player2"},
      {std::string(64, 'a'), std::string(64, 'a')},
  };
  for (const Row& row : rows) {
    const std::string name = UniqueName(row.asked, taken, 64);
    EXPECT_EQ(name, row.want) << row.asked;
    EXPECT_EQ(CheckName(name, taken), NameRefusal::kNone) << row.asked;
  }
  joined.insert(NameKey(std::string(64, 'a')));
  // The number still fits the limit: the name is cut to make room.
  EXPECT_EQ(UniqueName(std::string(64, 'a'), taken, 64), std::string(63, 'a') + "2");
}

}  // namespace
}  // namespace gorvane::server
