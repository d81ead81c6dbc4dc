// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/lobby.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "client/version.h"
#include "lobby_fixture.h"
#include "spine/sjis.h"

namespace gorvane {
namespace {

using namespace std::string_literals;

using testing::LobbyTest;

TEST_F(LobbyTest, DefaultsWhenThereIsNoSettingsFile) {
  Make();
  EXPECT_EQ(lobby->profile().displayName, "Anonymous");
  EXPECT_EQ(lobby->profile().serverAddress, "127.0.0.1");
  EXPECT_EQ(lobby->profile().loginName, "guest");
  EXPECT_EQ(lobby->profile().password, "******");
  EXPECT_EQ(view.label2, "Anonymous @ 127.0.0.1");
}

TEST_F(LobbyTest, JoinAndLoginExchangeForEachKindOfLogin) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"guest", {"G_JOIN 5 " + sjis::Text("ソ名"), "G_LIST 5 *", "G_PLIST 5 *"}},
      {"Guest", {"G_JOIN 5 " + sjis::Text("ソ名"), "G_LIST 5 *", "G_PLIST 5 *", "G_LOGIN 5 Guest secret"}},
      {"alice", {"G_JOIN 5 " + sjis::Text("ソ名"), "G_LIST 5 *", "G_PLIST 5 *", "G_LOGIN 5 alice secret"}},
  };
  for (const auto& [login, wire] : cases) {
    transport = testing::FakeTransport{};
    pause.atSend.clear();
    WriteSettings("[Global]\r\nName=" + sjis::Text("ソ名") +
                  "\r\nAddress=127.0.0.9\r\n[Login]\r\nID=" + login + "\r\nPassword=secret\r\n");
    Make();
    Connect();
    Receive("S_CONNECT,5,Hello\0S_GREETING,5,x\0"s);
    EXPECT_EQ(Sent(), wire) << login;
    EXPECT_EQ(pause.atSend, std::vector<size_t>{2}) << "the pause falls between G_LIST and G_PLIST";
    EXPECT_EQ(lobby->myId(), 5);
  }
}

TEST_F(LobbyTest, ConnectionStatesDriveTheMenus) {
  // An empty display name does nothing at all.
  WriteSettings("[Global]\nName=\n");
  Make();
  view.online.reset();
  lobby->Button1Click();
  EXPECT_EQ(transport.starts, 0);
  EXPECT_FALSE(view.online.has_value());
  EXPECT_TRUE(consoleView.lines.empty());

  WriteSettings("[Global]\nName=Me\n");
  Make();
  transport.startSucceeds = false;
  lobby->Button1Click();
  EXPECT_EQ(view.online, false);
  EXPECT_EQ(LastLine(), sjis::Text("SYS: 接続に失敗しました．"));
  EXPECT_EQ(consoleView.lines.back().colour, (Rgb{255, 0, 0}));

  transport.startSucceeds = true;
  Connect();
  EXPECT_EQ(view.online, true);
  EXPECT_EQ(LastLine(), sjis::Text("SYS: サーバに接続しました"));
  lobby->C1Click();
  EXPECT_EQ(Sent().back(), "G_BYE 0 *");
  EXPECT_EQ(view.online, true) << "the menus wait for the server's answer";
  Receive("S_BYE\0"s);
  EXPECT_EQ(view.online, false);
  transport.isActive = transport.isConnected = false;
  lobby->ClientSocket1Disconnect();
  EXPECT_EQ(LastLine(), sjis::Text("SYS: サーバから切断されました..."));

  lobby->ClientSocket1Error(SocketErrorKind::kConnect, "refused");
  EXPECT_EQ(errorBox.shown.back(), sjis::Text("サーバ接続が正常に完了しませんでした．"));
  Connect();
  lobby->ClientSocket1Error(SocketErrorKind::kSend, "broken");
  EXPECT_EQ(errorBox.shown.back(), sjis::Text("データの送信に失敗しました(eeSend)．"));
  EXPECT_EQ(view.online, false);
  EXPECT_EQ(transport.closes, 1);
  lobby->ClientSocket1Error(SocketErrorKind::kReceive, "reset");
  EXPECT_EQ(errorBox.shown.size(), 2u);
  EXPECT_EQ(debugLog.lines.back(), "Error: Socket: reset");
}

TEST_F(LobbyTest, ExitSaysGoodbyeOnlyWhenConnectedAndAlwaysSaves) {
  Make();
  lobby->Exit1Click();
  EXPECT_TRUE(transport.sends.empty());
  EXPECT_TRUE(pause.atSend.empty());
  EXPECT_EQ(transport.closes, 0);
  EXPECT_EQ(ReadSettings(),
            "[Global]\r\nName=Anonymous\r\nAddress=127.0.0.1\r\n[Login]\r\nID=guest\r\nPassword=******\r\n");

  Connect();
  lobby->Exit1Click();
  EXPECT_EQ(Sent(), std::vector<std::string>{"G_BYE 0 *"});
  EXPECT_EQ(pause.atSend, std::vector<size_t>{1});
  EXPECT_EQ(transport.closes, 1);
}

TEST_F(LobbyTest, AGivenProfileIsUsedAsItIsAndNothingIsWritten) {
  // A tvr1.ini beside the card list must not be read or touched.
  WriteSettings("[Global]\r\nName=FromFile\r\n");
  lobby = std::make_unique<Lobby>(Lobby::Ports{transport, debugLog, errorBox, console, pause, view},
                                  Profile{"Bot", "127.0.0.9", "guest", "******"}, CardListPath());
  lobby->FormCreate();
  EXPECT_EQ(lobby->profile().displayName, "Bot");
  EXPECT_EQ(view.label2, "Bot @ 127.0.0.9");
  EXPECT_EQ(lobby->cardCatalogue().Card(1).value, 10);

  Connect();
  Receive("S_CONNECT,4,hi\0"s);
  lobby->Exit1Click();
  EXPECT_EQ(Sent(), (std::vector<std::string>{"G_JOIN 4 Bot", "G_BYE 4 *"}));
  EXPECT_TRUE(errorBox.shown.empty());
  EXPECT_EQ(ReadSettings(), "[Global]\r\nName=FromFile\r\n");
}

TEST_F(LobbyTest, AnUnwritableSettingsFileIsReportedWithItsPathReadable) {
  // A folder that does not exist, named (UTF-8 on disk) as a player may name it.
  const std::pair<std::string, std::string> folders[] = {
      {"missing", "missing"},
      {"設定フォルダ", sjis::Text("設定フォルダ")},
      {"한글", "??"},  // no code page 932 form
  };
  for (const auto& [folder, shown] : folders) {
    errorBox.shown.clear();
    lobby = std::make_unique<Lobby>(Lobby::Ports{transport, debugLog, errorBox, console, pause, view},
                                    (dir / folder / "tvr1.ini").string(), CardListPath());
    lobby->FormCreate();
    EXPECT_FALSE(lobby->SaveSettings());
    ASSERT_EQ(errorBox.shown.size(), 1u);
    EXPECT_EQ(errorBox.shown[0],
              sjis::Text(dir.string()) + "/" + shown + "/tvr1.ini" + sjis::Text(" に書き込めません"))
        << folder;
  }
}

// Two clients started in one folder share tvr1.ini; each one's exit keeps
// what the other saved unless it changed the same value itself.
TEST_F(LobbyTest, TwoClientsSharingTheSettingsKeepWhatEitherSet) {
  const std::string handEdited =
      "; mine\n[Global]\nName = Old \nAddress=1.2.3.4\n[Login]\nID=me\nPassword=pw1234\n";
  const auto settings = [](const std::string& name, const std::string& address) {
    return "; mine\n[Global]\nName = " + name + "\nAddress=" + address +
           "\n[Login]\nID=me\nPassword=pw1234\n";
  };
  struct Case {
    const char* what;
    std::string firstName, secondAddress, secondName;  // empty: left as read
    bool firstClosesFirst;
    std::string expected;
  };
  const Case cases[] = {
      {"a name set in one, the other closing last", "Alice", "", "", true, settings("Alice", "1.2.3.4")},
      {"a name set in one, closing last", "Alice", "", "", false, settings("Alice", "1.2.3.4")},
      {"different values set in each", "Alice", "10.0.0.2", "", true, settings("Alice", "10.0.0.2")},
      {"the same value set in both: the last to close", "Alice", "", "Bob", true, settings("Bob", "1.2.3.4")},
      {"the same value set in both, in the other order", "Alice", "", "Bob", false,
       settings("Alice", "1.2.3.4")},
      {"nothing set: the file stays as it was", "", "", "", true, handEdited},
  };
  const auto start = [&] {
    auto started = std::make_unique<Lobby>(Lobby::Ports{transport, debugLog, errorBox, console, pause, view},
                                           (dir / "tvr1.ini").string(), CardListPath());
    started->FormCreate();
    return started;
  };
  const auto set = [](Lobby& client, const std::string& name, const std::string& address) {
    Profile entries = client.profile();
    if (!name.empty()) entries.displayName = name;
    if (!address.empty()) entries.serverAddress = address;
    EXPECT_EQ(client.ButtonOKClick(entries), std::nullopt);
  };
  for (const Case& c : cases) {
    WriteSettings(handEdited);
    const auto first = start();
    const auto second = start();
    set(*first, c.firstName, "");
    set(*second, c.secondName, c.secondAddress);
    Lobby& closing = c.firstClosesFirst ? *first : *second;
    Lobby& last = c.firstClosesFirst ? *second : *first;
    closing.Exit1Click();
    last.Exit1Click();
    EXPECT_EQ(ReadSettings(), c.expected) << c.what;
  }
  EXPECT_TRUE(errorBox.shown.empty());
}

// A practice client's name is the player's own: a change goes back to
// their settings at exit, and nothing else does.
TEST_F(LobbyTest, APracticeCarriesOnlyAChangedNameToThePlayersOwnSettings) {
  const std::string own =
      "; mine\n[global]\n  name = Old \nAddress=192.0.2.7\n[Login]\nID=ann\nPassword=pw1234\n";
  struct Case {
    const char* what;
    std::optional<std::string> ownBefore;  // none: the player has no settings yet
    std::vector<Profile> entries;          // each an OK of the settings dialog
    std::string ownAfter;
  };
  const auto in = [](std::string name, std::string address = "127.0.0.150") {
    return Profile{std::move(name), std::move(address), "guest", "******"};
  };
  const Case cases[] = {
      {"a new name replaces the old in place",
       own,
       {in(sjis::Text("新名"))},
       "; mine\n[global]\n  name = " + sjis::Text("新名") +
           "\nAddress=192.0.2.7\n[Login]\nID=ann\nPassword=pw1234\n"},
      {"the address of the practice stays in the practice", own, {in("Old", "127.0.0.151")}, own},
      {"a name changed and changed back", own, {in("Other"), in("Old")}, own},
      {"no settings of their own yet", std::nullopt, {in("Ann")}, "[Global]\r\nName=Ann\r\n"},
  };
  const std::filesystem::path ownPath = dir / "own.ini";
  for (const Case& c : cases) {
    WriteSettings(
        "[Global]\r\nName=Old\r\nAddress=127.0.0.150\r\n[Login]\r\nID=guest\r\nPassword=******\r\n");
    std::filesystem::remove(ownPath);
    if (c.ownBefore) std::ofstream(ownPath, std::ios::binary) << *c.ownBefore;
    Lobby& practice = Make();
    practice.CarryNameTo(ownPath.string());
    for (const Profile& entries : c.entries)
      EXPECT_EQ(practice.ButtonOKClick(entries), std::nullopt) << c.what;
    practice.Exit1Click();
    std::ifstream read(ownPath, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(read), {}), c.ownAfter) << c.what;
    EXPECT_NE(ReadSettings().find("Name=" + c.entries.back().displayName + "\r\n"), std::string::npos)
        << c.what;
  }
  EXPECT_TRUE(errorBox.shown.empty());

  // Their settings out of reach: said, with that path.
  Lobby& practice = Make();
  practice.CarryNameTo((dir / "gone" / "own.ini").string());
  EXPECT_EQ(practice.ButtonOKClick(in("Bea")), std::nullopt);
  EXPECT_FALSE(practice.SaveSettings());
  ASSERT_EQ(errorBox.shown.size(), 1u);
  EXPECT_EQ(errorBox.shown[0], sjis::Text((dir / "gone" / "own.ini").string() + " に書き込めません"));
}

TEST_F(LobbyTest, SettingsDialogRunsEveryStepInOrder) {
  const std::string quote = sjis::Text("名前に二重引用符（\"）は使えません！");
  const std::string empty = sjis::Text("名前/ログイン名を入力してください!");
  const std::string shortPass = sjis::Text("パスワードは6文字以上設定してください");
  struct Case {
    bool active;
    Profile entries;
    std::optional<std::string> message;
    std::string nameAfter;
    std::vector<std::string> sent;
  };
  const Case cases[] = {
      {false, {"New", "10.0.0.1", "bob", "123456"}, std::nullopt, "New", {}},
      {false, {"\"New", "h", "bob", "123456"}, quote, "Old", {}},
      {false, {"Ne\"w", "h", "bob", "12345"}, shortPass, "Old", {}},
      {false, {"", "h", "bob", "123456"}, empty, "", {}},
      {false, {"\"", "h", "", "1"}, shortPass, "Old", {}},
      {false, {"New", "h", "bob", sjis::Text("パスワ")}, std::nullopt, "New", {}},
      {false, {sjis::Text("“名”"), "h", "bob", "******"}, std::nullopt, sjis::Text("“名”"), {}},
      {true, {"New", "h", "bob", "123456"}, std::nullopt, "New", {"G_RENAME 0 New"}},
      {true, {"old", "h", "bob", "123456"}, std::nullopt, "old", {"G_RENAME 0 old"}},
      {true, {"Old", "h", "bob", "123456"}, std::nullopt, "Old", {}},
      {true, {"New", "h", "bob", "12345"}, shortPass, "New", {"G_RENAME 0 New"}},
      {true, {"", "h", "bob", "123456"}, empty, "", {}},
      {true, {"N\"", "h", "bob", "123456"}, quote, "Old", {}},
  };
  for (const Case& c : cases) {
    WriteSettings("[Global]\nName=Old\nAddress=1.2.3.4\n[Login]\nID=me\nPassword=pw1234\n");
    Make();
    transport.sends.clear();
    transport.isActive = c.active;
    EXPECT_EQ(lobby->ButtonOKClick(c.entries), c.message) << c.entries.displayName;
    EXPECT_EQ(lobby->profile().displayName, c.nameAfter);
    // Address, login and password are taken over only while not connected.
    EXPECT_EQ(lobby->profile().serverAddress, c.active ? "1.2.3.4" : c.entries.serverAddress);
    EXPECT_EQ(lobby->profile().password, c.active ? "pw1234" : c.entries.password);
    EXPECT_EQ(Sent(), c.sent) << c.entries.displayName;
    EXPECT_EQ(view.label2, "Old @ 1.2.3.4") << "Label2 changes only after the dialog closes with OK";
  }
}

TEST_F(LobbyTest, ReadsTheCardListFirstAndStartsWithoutIt) {
  // Remembers what Label2 showed when each box came up.
  struct OrderBox : ErrorBox {
    const testing::FakeView* view = nullptr;
    std::vector<std::pair<std::string, std::string>> shown;
    void ShowError(std::string_view text) override { shown.emplace_back(text, view->label2); }
  } box;
  box.view = &view;
  WriteSettings("[Global]\nName=Me\n");
  const std::string missing = (dir / "no_cards.txt").string();
  lobby = std::make_unique<Lobby>(Lobby::Ports{transport, debugLog, box, console, pause, view},
                                  (dir / "tvr1.ini").string(), missing);
  lobby->FormCreate();
  ASSERT_EQ(box.shown.size(), 1u);
  EXPECT_EQ(box.shown[0].first, missing + sjis::Text(" を開けません"));
  EXPECT_EQ(box.shown[0].second, "") << "the card list comes before the settings";
  EXPECT_EQ(view.label2, "Me @ 127.0.0.1") << "start-up goes on";
  EXPECT_EQ(lobby->cardCatalogue().Card(1).kind, 0);

  Make();
  EXPECT_EQ(lobby->cardCatalogue().CardText(1), "Road(10)");
}

TEST(Version, LabelNamesTheReleaseOfTheMajorNumber) {
  EXPECT_EQ(VersionLabel(kVersion), "Version 0.5.0.86[Orvia]");
  EXPECT_EQ(VersionLabel({8, 0, 1, 2}), "Version 8.0.1.2[Callisander]");
  EXPECT_EQ(VersionLabel({9, 0, 1, 2}), "9.0.1.2");
  EXPECT_EQ(VersionLabel({65535, 65535, 0, 0}), "65535.65535.0.0");
}

}  // namespace
}  // namespace gorvane
