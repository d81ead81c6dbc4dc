#include "core/framing.h"

#include <gtest/gtest.h>

#include <random>

namespace gorvane {
namespace {

std::vector<std::string> FeedAll(MessageFramer& framer, const std::vector<std::string>& reads) {
  std::vector<std::string> messages;
  for (const auto& read : reads) {
    framer.Feed(read, [&](std::string_view text) { messages.emplace_back(text); });
  }
  return messages;
}

std::string Stream() {
  using namespace std::string_literals;
  return "S_CONNECT,12,\x83\x5C\x83\x7C\0"s    // double-byte text
         "\r\nS_LIST,\"1:\"\"A B\"\":0\" \0"s  // CR LF before, blank before the NUL
         "\0"s                                 // an empty message
         "S_CHAT x, \"y\"\0"s
         "S_GLIST\0"s;
}

const std::vector<std::string> kExpected = {"S_CONNECT,12,\x83\x5C\x83\x7C", "S_LIST,\"1:\"\"A B\"\":0\"", "",
                                            "S_CHAT x, \"y\"", "S_GLIST"};

TEST(Framing, OneReadWithSeveralMessagesGivesThemInOrderTrimmed) {
  MessageFramer framer;
  EXPECT_EQ(FeedAll(framer, {Stream()}), kExpected);
  EXPECT_EQ(framer.pending(), 0u);
}

TEST(Framing, EveryWayOfCuttingTheStreamGivesTheSameMessages) {
  const std::string stream = Stream();
  std::mt19937 random(20261208);
  for (int trial = 0; trial < 2000; ++trial) {
    std::vector<std::string> reads;
    size_t at = 0;
    while (at < stream.size()) {
      // Mostly short reads, sometimes empty ones, sometimes the rest.
      const size_t size =
          std::uniform_int_distribution<size_t>(0, trial % 3 == 0 ? stream.size() : 5)(random);
      reads.push_back(stream.substr(at, size));
      at += size;
    }
    MessageFramer framer;
    ASSERT_EQ(FeedAll(framer, reads), kExpected) << "trial " << trial;
  }
}

TEST(Framing, TailWithoutTerminatorWaitsForTheNextRead) {
  MessageFramer framer;
  EXPECT_TRUE(FeedAll(framer, {"S_LOG"}).empty());
  EXPECT_EQ(framer.pending(), 5u);
  using namespace std::string_literals;
  EXPECT_EQ(FeedAll(framer, {"IN\0S_B"s}), std::vector<std::string>{"S_LOGIN"});
  framer.Reset();
  EXPECT_EQ(FeedAll(framer, {"YE\0"s}), std::vector<std::string>{"YE"});
}

TEST(Framing, TooMuchWithoutTerminatorOverflowsAndStartsClean) {
  MessageFramer framer(16);
  int messages = 0;
  auto count = [&](std::string_view) { ++messages; };
  EXPECT_EQ(framer.Feed("0123456789", count), MessageFramer::Result::kOk);
  EXPECT_EQ(framer.Feed("0123456789", count), MessageFramer::Result::kOverflow);
  EXPECT_EQ(framer.pending(), 0u);
  // Complete messages before the overflowing tail are still handed on.
  using namespace std::string_literals;
  EXPECT_EQ(framer.Feed("A\0"s + std::string(20, 'x'), count), MessageFramer::Result::kOverflow);
  EXPECT_EQ(messages, 1);
}

TEST(Framing, BytesArrivingDuringAHandlerAreHandledAfterItInOrder) {
  // A handler that opens a modal box lets the event loop deliver more data.
  using namespace std::string_literals;
  MessageFramer framer;
  std::vector<std::string> seen;
  bool nested = false;
  std::function<void(std::string_view)> handle = [&](std::string_view text) {
    seen.emplace_back(text);
    if (!nested) {
      nested = true;
      framer.Feed("C\0D"s, handle);
      EXPECT_EQ(seen.size(), 1u) << "a nested read must not interleave";
    }
  };
  framer.Feed("A\0B\0"s, handle);
  EXPECT_EQ(seen, (std::vector<std::string>{"A", "B", "C"}));
  framer.Feed("\0"s, handle);
  EXPECT_EQ(seen.back(), "D");
}

}  // namespace
}  // namespace gorvane
