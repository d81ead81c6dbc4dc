// SPDX-License-Identifier: GPL-3.0-or-later
// The user and party lists as the server's messages build them.
#include "client/lobby_lists.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lobby_fixture.h"
#include "spine/sjis.h"

namespace gorvane {
namespace {

using namespace std::string_literals;
using testing::LobbyTest;

std::string S(std::string_view utf8) { return sjis::Text(utf8); }

TEST(CompareListText, FoldsAsciiLettersOnlyAndKeepsDoubleByteCharactersWhole) {
  struct Case {
    std::string a;
    std::string b;
    int order;  // of a against b
  };
  const Case cases[] = {
      {"10: x", "9: x", -1},
      {"2: x", "9: x", -1},
      {"1: abc", "1: ABC", 0},
      {"1: a", "1: B", -1},  // raw bytes would put "B" first
      {"1: Zed", "1: alpha", 1},
      {"1", "1: x", -1},
      // 0x8341 and 0x8361 differ only in a trail byte that looks like 'A'/'a'.
      {"\x83\x41", "\x83\x61", -1},
      {"\x83\x5A", "\x83\x7A", -1},
      {"z", "\x82\xA0", -1},
      {"\x83", "\x83\x41", -1},  // a lead byte cut off at the end
      {"\x82\xA0"
       "A",
       "\x82\xA0"
       "a",
       0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompareListText(c.a, c.b), c.order) << c.a << " / " << c.b;
    EXPECT_EQ(CompareListText(c.b, c.a), -c.order) << c.b << " / " << c.a;
  }
}

class ListsTest : public LobbyTest {
 protected:
  void SetUp() override {
    LobbyTest::SetUp();
    Make();
    Connect();
    Receive("S_CONNECT,5,hi\0"s);
    transport.sends.clear();
  }
  LobbyLists& lists() { return lobby->lists(); }
  template <typename Carried>
  static std::vector<std::string> Texts(const ListBox<Carried>& box) {
    std::vector<std::string> out;
    for (size_t i = 0; i < box.size(); ++i) out.push_back(box.text(i));
    return out;
  }
  std::vector<int32_t> UserIds() {
    std::vector<int32_t> ids;
    for (const userlist_t& user : lists().userList()) ids.push_back(user.id);
    return ids;
  }
  std::vector<std::string> Traces() const {
    std::vector<std::string> out;
    for (const std::string& line : debugLog.lines) {
      if (line.rfind("create", 0) == 0) out.push_back(line);
    }
    return out;
  }
  // Selects the row with this text the way a click does.
  template <typename Carried>
  static void SelectText(ListBox<Carried>& box, const std::string& text) {
    for (size_t i = 0; i < box.size(); ++i) {
      if (box.text(i) == text) box.Select(i);
    }
    ASSERT_TRUE(box.Selected() != nullptr) << text;
  }
};

TEST_F(ListsTest, TableInIdOrderListBoxInTextOrderAndRowsCarryTheirUser) {
  Receive("S_LIST,9:Ann:0,\"10:\"\"Bob X\"\":3\",2:Cy:0\0"s);
  EXPECT_EQ(UserIds(), (std::vector<int32_t>{2, 9, 10}));
  EXPECT_EQ(Texts(lists().ListBox1()),
            (std::vector<std::string>{S("10: Bob X (グループ 3)"), "2: Cy", "9: Ann"}));
  EXPECT_EQ(Traces(), (std::vector<std::string>{"createUserList: 9:Ann:0name = Ann",
                                                "createUserList: 10:\"Bob X\":3name = Bob X",
                                                "createUserList: 2:Cy:0name = Cy"}));

  SelectText(lists().ListBox1(), "9: Ann");
  lobby->ListBox1DblClick();
  EXPECT_EQ(Sent(), std::vector<std::string>{"G_INFO 5 9"});
}

TEST_F(ListsTest, EveryDepartureRedrawsTheUserListAndTakesTheSelectionAway) {
  struct Case {
    std::string departure;
    std::string selected;
    std::vector<std::string> rows;
  };
  const Case cases[] = {
      {"S_QUIT,10", "9: Ann", {"2: Cy", "9: Ann"}},                // someone above the selected row
      {"S_ABNORMAL,9", "9: Ann", {"10: Bob", "2: Cy"}},            // the selected user
      {"S_QUIT,2", "10: Bob", {"10: Bob", "9: Ann"}},              // someone below it
      {"S_ABNORMAL,77", "2: Cy", {"10: Bob", "2: Cy", "9: Ann"}},  // nobody known
  };
  for (const Case& c : cases) {
    Receive("S_LIST,9:Ann:0,10:Bob:0,2:Cy:0\0"s);
    SelectText(lists().ListBox1(), c.selected);
    Receive(c.departure + '\0');
    EXPECT_EQ(Texts(lists().ListBox1()), c.rows) << c.departure;
    EXPECT_FALSE(lists().ListBox1().selection().has_value()) << c.departure;
    transport.sends.clear();
    lobby->ListBox1DblClick();
    EXPECT_TRUE(Sent().empty()) << c.departure << ": a double click on no row asks about nobody";
  }
}

TEST_F(ListsTest, EntryTexts) {
  struct Case {
    std::string users;
    std::string parties;
    std::vector<std::string> userRows;
    std::vector<std::string> partyRows;
    std::vector<PartyEntry> carried;
  };
  const Case cases[] = {
      {"S_LIST,3:Ann:0,4:Bo:3,-7:Neg:-2",
       "S_GLIST,3:4:2:0,12:3:1:1,-1:-7:0:2",
       {"-7: Neg" + S(" (グループ -2)"), "3: Ann", "4: Bo" + S(" (グループ 3)")},
       {S("-1: リーダー Neg(0)"), S("12: リーダー Ann(1) [プレイ中]"), S("3: リーダー Bo(2)")},
       {{-1, false}, {12, true}, {3, false}}},
      // No users at all: every party still has its row, the leader by number.
      {"S_LIST",
       "S_GLIST,5:17:3:0,6:18:1:1",
       {},
       {S("5: リーダー 17(3)"), S("6: リーダー 18(1) [プレイ中]")},
       {{5, false}, {6, true}}},
      // A server that repeats an id or a number: the later record replaces the earlier.
      {"S_LIST,1:Old:0,1:New:2",
       "S_GLIST,2:1:1:1,2:1:4:0",
       {"1: New" + S(" (グループ 2)")},
       {S("2: リーダー New(4)")},
       {{2, false}}},
  };
  for (const Case& c : cases) {
    Receive(c.users + '\0' + c.parties + '\0');
    EXPECT_TRUE(errorBox.shown.empty()) << c.users;
    EXPECT_EQ(Texts(lists().ListBox1()), c.userRows) << c.users;
    EXPECT_EQ(Texts(lists().ListBox2()), c.partyRows) << c.parties;
    std::vector<PartyEntry> carried;
    for (size_t i = 0; i < lists().ListBox2().size(); ++i)
      carried.push_back(lists().ListBox2().row(i).carried);
    EXPECT_EQ(carried, c.carried) << c.parties;
  }
}

TEST_F(ListsTest, NamesSurviveOnlyWhenQuoted) {
  struct Case {
    std::string message;
    std::string name;   // when the record is read
    std::string error;  // when it is not
  };
  const Case cases[] = {
      {"S_LIST,\"1:\"\"A B\"\":0\"", "A B", ""},
      {"S_LIST,\"1:\"\"x:y\"\":0\"", "x:y", ""},
      {"S_LIST,\"1:\"\"a,b\"\":0\"", "a,b", ""},
      {"S_LIST,\"1:\"\"say \"\"\"\"hi\"\"\"\"\"\":0\"", "say \"hi\"", ""},
      {"S_LIST,\"1:" + S("ソ表") + ":0\"", S("ソ表"), ""},
      {"S_LIST,\"1:A B:0\"", "", S("'B' は整数ではありません")},
      {"S_LIST,1:x:y:0", "", S("'y' は整数ではありません")},
      {"S_LIST,1:A,B:0", "", S("リストのインデックスが範囲を超えています (2)")},
  };
  for (const Case& c : cases) {
    errorBox.shown.clear();
    Receive(c.message + '\0');
    if (c.error.empty()) {
      EXPECT_TRUE(errorBox.shown.empty()) << c.message;
      ASSERT_EQ(lists().userList().size(), 1u) << c.message;
      EXPECT_EQ(lists().userList()[0].name, c.name);
      EXPECT_EQ(Texts(lists().ListBox1()), std::vector<std::string>{"1: " + c.name});
    } else {
      EXPECT_EQ(errorBox.shown, std::vector<std::string>{c.error}) << c.message;
    }
  }
}

TEST_F(ListsTest, AFailedListKeepsWhatItReadAndLeavesTheListBoxAlone) {
  Receive("S_LIST,1:Ann:0,2:Bo:0\0S_GLIST,4:1:1:0\0"s);
  SelectText(lists().ListBox1(), "2: Bo");
  debugLog.lines.clear();

  Receive("S_LIST,7:G:0,5:E:0,x:Bad:0,3:C:0\0"s);
  EXPECT_EQ(errorBox.shown, std::vector<std::string>{S("'x' は整数ではありません")});
  EXPECT_EQ(UserIds(), (std::vector<int32_t>{7, 5})) << "message order, unsorted";
  EXPECT_EQ(Traces(),
            (std::vector<std::string>{"createUserList: 7:G:0name = G", "createUserList: 5:E:0name = E"}));
  EXPECT_EQ(Texts(lists().ListBox1()), (std::vector<std::string>{"1: Ann", "2: Bo"}));
  lobby->ListBox1DblClick();
  EXPECT_EQ(Sent(), std::vector<std::string>{"G_INFO 5 2"}) << "the rows still carry their users";

  // The partial table is what lookups see, in its own order.
  Receive("S_GLIST,4:5:1:0\0"s);
  EXPECT_EQ(Texts(lists().ListBox2()), std::vector<std::string>{S("4: リーダー E(1)")});
  Receive("S_QUIT,5\0"s);
  EXPECT_EQ(LastLine(), S("SYS: Eさんが退出しました．"));
  EXPECT_EQ(Texts(lists().ListBox1()), std::vector<std::string>{"7: G"});

  // A party record one part short.
  errorBox.shown.clear();
  Receive("S_GLIST,1:7:3:0,2:7\0"s);
  EXPECT_EQ(errorBox.shown, std::vector<std::string>{S("リストのインデックスが範囲を超えています (2)")});
  ASSERT_EQ(lists().groupList().size(), 1u);
  EXPECT_EQ(lists().groupList()[0].number, 1);
  EXPECT_EQ(Texts(lists().ListBox2()), std::vector<std::string>{S("4: リーダー E(1)")});
}

TEST_F(ListsTest, DeparturesChangeOnlyTheUserList) {
  Receive("S_LIST,3:Cy:1,4:Di:0\0S_GLIST,1:3:2:0\0"s);
  const size_t lines = consoleView.lines.size();
  Receive("S_ABNORMAL,3\0"s);
  EXPECT_EQ(LastLine(), S("SYS: Cyさんが退出しました．"));
  EXPECT_EQ(UserIds(), std::vector<int32_t>{4});
  EXPECT_EQ(Texts(lists().ListBox1()), std::vector<std::string>{"4: Di"});
  EXPECT_EQ(Texts(lists().ListBox2()), std::vector<std::string>{S("1: リーダー Cy(2)")})
      << "until the next party list";

  Receive("S_QUIT,99\0"s);
  EXPECT_EQ(consoleView.lines.size(), lines + 1) << "an unknown user prints nothing";
  EXPECT_EQ(Texts(lists().ListBox1()), std::vector<std::string>{"4: Di"});

  Receive("S_LIST\0S_GLIST\0"s);
  EXPECT_TRUE(lists().userList().empty());
  EXPECT_EQ(lists().ListBox1().size(), 0u);
  EXPECT_EQ(lists().ListBox2().size(), 0u);
}

}  // namespace
}  // namespace gorvane
