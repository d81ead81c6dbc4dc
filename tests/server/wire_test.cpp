// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/base/wire.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "server/base/limits.h"
#include "server/loop/out_queue.h"
#include "spine/codec.h"
#include "spine/sjis.h"

namespace gorvane::server {
namespace {

// Names a user may choose, read back the way the client reads a list entry.
TEST(Wire, RecordsComeBackWholeThroughTheClientsSplit) {
  const std::string names[] = {
      "Bob",         "A B",           "a,b",  "a:b",  "\"quoted\"", "x\"y",  "",
      "  lead",      "trail  ",       "a\tb", "\"\"", ":",          ",:\" ", sjis::Text("勇者 ロト"),
      "ends with\"", "\"starts quote"};
  for (const std::string& name : names) {
    const std::string message = Message("S_LIST", {Record({"12", name, "3"}), Record({"4", "plain", "0"})});
    const Fields records = SplitCommaText(message);
    ASSERT_EQ(records.size(), 3u) << message;
    EXPECT_EQ(SplitDelimitedText(records[1], ':'), (Fields{"12", name, "3"})) << message;
    EXPECT_EQ(SplitDelimitedText(records[2], ':'), (Fields{"4", "plain", "0"}));
    // A name alone in a field (S_GREETING, S_RENAME, S_INFO) comes back too.
    EXPECT_EQ(SplitCommaText(Message("S_RENAME", {"12", name})), (Fields{"S_RENAME", "12", name})) << name;
  }
}

TEST(Wire, CommandsSplitIntoKindIdAndVerbatimArgument) {
  struct Case {
    std::string_view message;
    std::string_view kind, id, argument;
  } const cases[] = {
      {"G_CHAT 5 hello,  \"world\" ", "G_CHAT", "5", "hello,  \"world\" "},
      {"G_LIST 5 *", "G_LIST", "5", "*"},
      {"G_LIST 5", "G_LIST", "5", ""},
      {"G_LIST", "G_LIST", "", ""},
      {"", "", "", ""},
      {"P_PLAY 3 3 12 40", "P_PLAY", "3", "3 12 40"},
  };
  for (const Case& c : cases) {
    const Command command = ParseCommand(c.message);
    EXPECT_EQ(command.kind, c.kind) << c.message;
    EXPECT_EQ(command.id, c.id) << c.message;
    EXPECT_EQ(command.argument, c.argument) << c.message;
  }
}

TEST(Wire, NumbersOfAnArgumentAreAllOrNothing) {
  EXPECT_EQ(ParseNumbers("12 40 "), (std::vector<int32_t>{12, 40}));
  EXPECT_EQ(ParseNumbers("  -3\t7"), (std::vector<int32_t>{-3, 7}));
  EXPECT_EQ(ParseNumbers(""), std::vector<int32_t>{});
  for (const std::string_view bad : {"12 x", "1.5", "99999999999", "0x10", "12,40"}) {
    EXPECT_FALSE(ParseNumbers(bad)) << bad;
  }
}

TEST(Wire, LogLinesHoldNoControlBytesAndStayShort) {
  EXPECT_EQ(Printable("a\nb\x1b[31m\\"), "a\\x0ab\\x1b[31m\\x5c");
  EXPECT_EQ(Printable(std::string(100, 'x'), 4), "xxxx...");
  // Client text is code page 932; the log is read as UTF-8.
  const struct {
    std::string bytes;
    size_t limit;
    std::string shown;
  } cases[] = {
      {sjis::Text("名前ｶﾅ"), 48, "名前ｶﾅ"},
      {sjis::Text("名前"), 3, "名\\x91..."},    // a character cut by the limit
      {"\x82", 48, "\\x82"},                    // a lead byte without its trail
      {"\x80\xa0\xfd", 48, "\\x80\\xa0\\xfd"},  // no character at all
      {"\x82\n", 48, "\\x82\\x0a"},             // a trail that is a control byte
  };
  for (const auto& c : cases) EXPECT_EQ(Printable(c.bytes, c.limit), c.shown) << c.shown;
}

// What a queue writes to a socket, read back from the other end.
struct SocketPair {
  SocketPair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds); }
  ~SocketPair() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  std::string ReadAll() {
    std::string got;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fds[1], buffer, sizeof buffer, 0)) > 0;)
      got.append(buffer, static_cast<size_t>(n));
    return got;
  }
  int fds[2] = {-1, -1};
};

TEST(Wire, QueuedMessagesGoOutInOrderAndAWaitingListGivesWayToANewerOne) {
  const std::string bigOld = "S_LIST," + std::string(3000, 'o');
  const std::string bigNew = "S_LIST," + std::string(3000, 'n');
  const std::string parties = "S_GLIST," + std::string(3000, 'p');
  struct Step {
    std::string message;
    ListSlot slot;
    bool shared;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
    std::string out;
  } const cases[] = {
      {"small and shared messages keep their order",
       {{"S_CHAT a> 1", ListSlot::kNone, false},
        {bigOld, ListSlot::kNone, true},
        {"S_CHAT a> 2", ListSlot::kNone, true}},
       "S_CHAT a> 1" + std::string(1, '\0') + bigOld + '\0' + "S_CHAT a> 2" + '\0'},
      {"a newer list replaces the waiting one in its place",
       {{bigOld, ListSlot::kUsers, true},
        {"S_QUIT,4", ListSlot::kNone, false},
        {bigNew, ListSlot::kUsers, true}},
       bigNew + '\0' + "S_QUIT,4" + '\0'},
      {"a list of another kind does not",
       {{bigOld, ListSlot::kUsers, true},
        {parties, ListSlot::kParties, true},
        {bigNew, ListSlot::kUsers, true}},
       bigNew + '\0' + parties + '\0'},
  };
  for (const Case& c : cases) {
    SocketPair pair;
    OutQueue queue;
    for (const Step& step : c.steps) {
      if (step.shared) {
        queue.Append(Frame(step.message), step.slot);
      } else {
        queue.Append(step.message);
      }
    }
    EXPECT_EQ(queue.size(), c.out.size()) << c.what;
    EXPECT_EQ(queue.WriteTo(pair.fds[0]), OutQueue::Result::kAll) << c.what;
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(pair.ReadAll(), c.out) << c.what;
  }

  // A list that has begun to go out is not touched: the newer one follows.
  SocketPair pair;
  const int small = 4096;
  setsockopt(pair.fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  const std::string huge = "S_LIST," + std::string(200000, 'h');
  OutQueue queue;
  queue.Append(Frame(huge), ListSlot::kUsers);
  EXPECT_EQ(queue.WriteTo(pair.fds[0]), OutQueue::Result::kBlocked);
  queue.Append(Frame(bigNew), ListSlot::kUsers);
  std::string got;
  for (int i = 0; i < 10000 && !queue.empty(); ++i) {
    got += pair.ReadAll();
    queue.WriteTo(pair.fds[0]);
  }
  got += pair.ReadAll();
  EXPECT_EQ(got, huge + '\0' + bigNew + '\0');
}

// A limit of 3 events and 10 bytes per second, tried at the given
// milliseconds: what each try comes to.
TEST(Limits, ASlidingWindowDropsOnceOverAndCutsAtTenTimes) {
  using Verdict = RateLimit::Verdict;
  struct Try {
    int ms;
    size_t bytes;
    Verdict verdict;
    bool firstDrop;
  };
  struct Case {
    const char* what;
    std::vector<Try> tries;
  } const cases[] = {
      {"the count",
       {{0, 1, Verdict::kPass, false},
        {1, 1, Verdict::kPass, false},
        {2, 1, Verdict::kPass, false},
        {3, 1, Verdict::kDrop, true},
        {4, 1, Verdict::kDrop, false}}},
      {"the bytes",
       {{0, 6, Verdict::kPass, false},
        {1, 5, Verdict::kDrop, true},
        {2, 4, Verdict::kPass, false},
        {3, 1, Verdict::kDrop, true}}},
      {"the window slides",
       {{0, 1, Verdict::kPass, false},
        {500, 1, Verdict::kPass, false},
        {600, 1, Verdict::kPass, false},
        {900, 1, Verdict::kDrop, true},
        {1000, 1, Verdict::kPass, false},
        {1100, 1, Verdict::kDrop, true},
        {1500, 1, Verdict::kPass, false}}},
  };
  const TimePoint start{};
  for (const Case& c : cases) {
    RateLimit limit({3, 10}, std::chrono::seconds(1));
    for (const Try& t : c.tries) {
      const RateLimit::Decision decision = limit.Admit(start + std::chrono::milliseconds(t.ms), t.bytes);
      EXPECT_EQ(decision.verdict, t.verdict) << c.what << " at " << t.ms;
      EXPECT_EQ(decision.firstDrop, t.firstDrop) << c.what << " at " << t.ms;
    }
  }
  // A sender at the limit window after window is never cut off: what it
  // tried is counted afresh with each window.
  RateLimit steady({3, 10}, std::chrono::seconds(1));
  for (int ms = 0; ms < 30000; ms += 400) {
    ASSERT_EQ(steady.Admit(start + std::chrono::milliseconds(ms), 3).verdict, Verdict::kPass) << ms;
  }
  // Ten times the count within one window cuts the sender off, and so do
  // ten times the bytes.
  RateLimit count({3, 0}, std::chrono::seconds(1));
  for (int i = 0; i < 30; ++i) ASSERT_NE(count.Admit(start, 0).verdict, Verdict::kCut) << i;
  EXPECT_EQ(count.Admit(start, 0).verdict, Verdict::kCut);
  RateLimit bytes({100, 10}, std::chrono::seconds(1));
  for (int i = 0; i < 10; ++i) ASSERT_NE(bytes.Admit(start, 10).verdict, Verdict::kCut) << i;
  EXPECT_EQ(bytes.Admit(start, 1).verdict, Verdict::kCut);
}

TEST(Limits, FailedLoginsLockAnAddressForAWhileAndALoginIsOnlyPaced) {
  LoginThrottle throttle({5, std::chrono::minutes(1), std::chrono::minutes(1), 10});
  const TimePoint start{};
  auto at = [&](int seconds) { return start + std::chrono::seconds(seconds); };
  // Four failures spread over more than a minute lock nothing; five within
  // one lock the address, once.
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(throttle.Failed(at(i * 30), "10.0.0.1"));
  EXPECT_FALSE(throttle.Locked(at(121), "10.0.0.1"));
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(throttle.Failed(at(200 + i), "10.0.0.2"));
  EXPECT_TRUE(throttle.Failed(at(204), "10.0.0.2"));
  EXPECT_TRUE(throttle.Locked(at(205), "10.0.0.2"));
  EXPECT_FALSE(throttle.Locked(at(205), "10.0.0.3"));
  EXPECT_FALSE(throttle.Locked(at(264), "10.0.0.2")) << "a minute later";
  EXPECT_TRUE(throttle.Failing(at(250), "10.0.0.2"));
  EXPECT_FALSE(throttle.Failing(at(330), "10.0.0.2")) << "its failures out of the window";
  // A login is never locked, only paced: ten checks at once, then one every
  // 6 s, counted under its first 256 bytes however long it is.
  const std::string carol = "carol" + std::string(300, 'c');
  for (int i = 0; i < 10; ++i) throttle.Checked(at(400), carol + std::to_string(i));
  EXPECT_EQ(throttle.CheckFreeAt(at(400), carol), at(406));
  EXPECT_EQ(throttle.CheckFreeAt(at(400), "carol"), at(400));
}

// Three at once, then ten a second, per address: what each try comes to.
TEST(Limits, AnAddressIsPacedAfterItsBurstAndOthersAreNot) {
  struct Try {
    int ms;
    const char* address;
    bool taken;
  };
  struct Case {
    const char* what;
    std::vector<Try> tries;
  } const cases[] = {
      {"the burst, then empty",
       {{0, "a", true}, {0, "a", true}, {0, "a", true}, {0, "a", false}, {99, "a", false}, {100, "a", true}}},
      {"another address has its own",
       {{0, "a", true}, {0, "a", true}, {0, "a", true}, {0, "b", true}, {0, "a", false}}},
      {"a refusal takes nothing",
       {{0, "a", true},
        {0, "a", true},
        {0, "a", true},
        {50, "a", false},
        {50, "a", false},
        {100, "a", true}}},
      {"refilled evenly, never past the burst",
       {{0, "a", true},
        {200, "a", true},
        {200, "a", true},
        {10000, "a", true},
        {10000, "a", true},
        {10000, "a", true},
        {10000, "a", false}}},
  };
  const TimePoint start{};
  for (const Case& c : cases) {
    AddressPace pace(3, 10);
    for (const Try& t : c.tries) {
      EXPECT_EQ(pace.Take(t.address, start + std::chrono::milliseconds(t.ms)), t.taken)
          << c.what << ": " << t.address << " at " << t.ms;
    }
  }
  // Addresses that come once each are forgotten once full again, so that a
  // million of them do not grow the table for ever.
  AddressPace pace(3, 10);
  for (int i = 0; i < 1'000'000; ++i)
    ASSERT_TRUE(pace.Take(std::to_string(i), start + std::chrono::milliseconds(i)));
  EXPECT_LT(pace.tracked(), 10'000u);
}

}  // namespace
}  // namespace gorvane::server
