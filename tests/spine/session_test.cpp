// SPDX-License-Identifier: GPL-3.0-or-later
#include "spine/session.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "fakes.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane {
namespace {

using namespace std::string_literals;

struct SessionTest : ::testing::Test {
  testing::FakeTransport transport;
  testing::FakeDebugLog debugLog;
  testing::FakeErrorBox errorBox;
  testing::FakeConsole consoleView;
  testing::FixedClock clock;
  Console console{consoleView, clock};
  Session session{transport, debugLog, errorBox, console};
};

TEST_F(SessionTest, SendCommandWritesKindIdArgumentAndOneNul) {
  transport.isActive = true;
  session.myId = 12;
  session.SendCommand("G_LIST", "*");
  ASSERT_EQ(transport.sends.size(), 1u);
  EXPECT_EQ(transport.sends[0], "G_LIST 12 *\0"s);
  EXPECT_EQ(transport.sends[0].size(), 12u);
  EXPECT_EQ(debugLog.lines, std::vector<std::string>{"DEBUG: SEND: G_LIST 12 *"});
}

TEST_F(SessionTest, ArgumentsGoOutVerbatimAndIdsInPlainDecimal) {
  transport.isActive = true;
  const std::tuple<int32_t, std::string, std::string, std::string> cases[] = {
      {0, "G_JOIN", "a b,\"c\"", "G_JOIN 0 a b,\"c\"\0"s},
      {-5, "G_LOGIN", "user pass word", "G_LOGIN -5 user pass word\0"s},
      {7, "G_CHAT", "", "G_CHAT 7 \0"s},
      {2147483647, "P_PLAY", "3 10 11", "P_PLAY 2147483647 3 10 11\0"s},
  };
  for (const auto& [id, kind, argument, wire] : cases) {
    transport.sends.clear();
    session.myId = id;
    session.SendCommand(kind, argument);
    ASSERT_EQ(transport.sends.size(), 1u);
    EXPECT_EQ(transport.sends[0], wire);
  }
  // The echo trims like received text: a chat line's trailing blank is not shown.
  session.SendCommand("G_CHAT", "hi ");
  EXPECT_EQ(debugLog.lines.back(), "DEBUG: SEND: G_CHAT 2147483647 hi");
}

TEST(ShownCommand, ALoginsPasswordNeverReachesTheDebugLog) {
  const std::pair<std::string, std::string> cases[] = {
      {"G_LOGIN 5 alice hunter2\0"s, "G_LOGIN 5 alice ********"},
      {"G_LOGIN 5 alice pass word \0"s, "G_LOGIN 5 alice ********"},
      {"G_LOGIN 5 alice \0"s, "G_LOGIN 5 alice"},  // an empty password: nothing to hide
      {"G_LOGIN 5 alice\0"s, "G_LOGIN 5 alice"},
      {"G_LOGINS 5 alice hunter2\0"s, "G_LOGINS 5 alice hunter2"},
      {"G_CHAT 5 G_LOGIN 5 alice hunter2\0"s, "G_CHAT 5 G_LOGIN 5 alice hunter2"},
  };
  for (const auto& [wire, shown] : cases) EXPECT_EQ(ShownCommand(wire), shown) << wire;
}

TEST_F(SessionTest, NothingIsSentOrLoggedWhileTheSocketIsNotActive) {
  transport.isConnected = true;  // only the active flag counts
  session.SendCommand("G_LIST", "*");
  EXPECT_TRUE(transport.wire.empty());
  EXPECT_TRUE(debugLog.lines.empty());
}

TEST_F(SessionTest, EachMessageIsEchoedBeforeItIsDispatched) {
  std::vector<std::string> order;
  session.ReceiveBytes("S_A\0\r\nS_B \0S_"s, [&](std::string_view text, const FieldList*) {
    order.push_back("dispatch " + std::string(text));
    order.push_back("log size " + std::to_string(debugLog.lines.size()));
  });
  EXPECT_EQ(order, (std::vector<std::string>{"dispatch S_A", "log size 1", "dispatch S_B", "log size 2"}));
  EXPECT_EQ(debugLog.lines, (std::vector<std::string>{"DEBUG: S_A", "DEBUG: S_B"}));
}

TEST_F(SessionTest, AMalformedMessageStopsOnlyItselfAndShowsTheErrorBox) {
  std::vector<std::string> handled;
  const auto dispatch = [&](std::string_view text, const FieldList*) {
    const Fields fields = SplitCommaText(text);
    handled.push_back("start " + FieldAt(fields, 0));
    const int32_t value = IntegerAt(fields, 1);
    handled.push_back("done " + std::to_string(value));
  };
  session.ReceiveBytes("S_X,1\0S_X\0S_X,abc\0\0S_X,2\0"s, dispatch);
  EXPECT_EQ(handled, (std::vector<std::string>{"start S_X", "done 1", "start S_X", "start S_X", "start S_X",
                                               "done 2"}));
  EXPECT_EQ(errorBox.shown,
            (std::vector<std::string>{MissingFieldText(1), NotAnIntegerText("abc"), MissingFieldText(0)}));
  EXPECT_EQ(transport.closes, 0);
}

TEST_F(SessionTest, AnyOtherExceptionFromAHandlerLeavesOneDebugLineAndTheNextMessageIsHandled) {
  struct Case {
    std::function<void()> thrower;
    std::string line;
  };
  const Case cases[] = {
      {[] { throw std::runtime_error("boom"); }, "Error: Handler: boom: S_BAD"},
      {[] { throw std::out_of_range("index"); }, "Error: Handler: index: S_BAD"},
      {[] { throw 42; }, "Error: Handler: S_BAD"},
  };
  for (const Case& c : cases) {
    debugLog.lines.clear();
    std::vector<std::string> handled;
    session.ReceiveBytes("S_BAD\0S_NEXT\0"s, [&](std::string_view text, const FieldList*) {
      if (text == "S_BAD") c.thrower();
      handled.emplace_back(text);
    });
    EXPECT_EQ(handled, std::vector<std::string>{"S_NEXT"}) << c.line;
    EXPECT_EQ(debugLog.lines, (std::vector<std::string>{"DEBUG: S_BAD", c.line, "DEBUG: S_NEXT"}));
    EXPECT_TRUE(errorBox.shown.empty()) << c.line;
    // Nothing of the failed message is kept to be handled again.
    session.ReceiveBytes("S_LATER\0"s,
                         [&](std::string_view text, const FieldList*) { handled.emplace_back(text); });
    EXPECT_EQ(handled.back(), "S_LATER");
    EXPECT_EQ(handled.size(), 2u);
  }
}

TEST_F(SessionTest, EndlessDataWithoutTerminatorClosesTheConnectionWithARedLine) {
  const std::string chunk(1024 * 1024, 'x');
  int dispatched = 0;
  for (int i = 0; i < 16; ++i)
    session.ReceiveBytes(chunk, [&](std::string_view, const FieldList*) { ++dispatched; });
  EXPECT_EQ(transport.closes, 0);
  session.ReceiveBytes("y", [&](std::string_view, const FieldList*) { ++dispatched; });
  EXPECT_EQ(transport.closes, 1);
  EXPECT_EQ(dispatched, 0);
  ASSERT_EQ(consoleView.lines.size(), 1u);
  EXPECT_EQ(consoleView.lines[0].colour, (Rgb{255, 0, 0}));
  EXPECT_EQ(consoleView.lines[0].text.rfind("[09:05:03] SYS: ", 0), 0u);
}

TEST(Console, LinesCarryTheTimeOfAddingAndTheKindsColour) {
  testing::FakeConsole view;
  testing::FixedClock clock;
  Console console(view, clock);
  const std::pair<int, Rgb> kinds[] = {
      {0, {0, 0, 0}}, {1, {255, 0, 0}}, {2, {0, 128, 0}}, {3, {0, 0, 0}}, {-1, {0, 0, 0}}};
  for (const auto& [kind, colour] : kinds) {
    console.AppendConsoleLine("SYS: x", kind);
    EXPECT_EQ(view.lines.back().colour, colour) << "kind " << kind;
  }
  EXPECT_EQ(view.lines.back().text, "[09:05:03] SYS: x");
  clock.time = {23, 59, 0};
  console.AppendConsoleLine(sjis::Text("SYS: 接続"), 0);
  EXPECT_EQ(view.lines.back().text, "[23:59:00] " + sjis::Text("SYS: 接続"));
}

}  // namespace
}  // namespace gorvane
