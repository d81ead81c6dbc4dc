// SPDX-License-Identifier: GPL-3.0-or-later
#include "spine/framing.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

namespace gorvane {
namespace {

// withFields: the way the client reads, taking the fields the framing
// finds with each message (the server takes the texts alone).
std::vector<std::string> FeedAll(MessageFramer& framer, const std::vector<std::string>& reads,
                                 bool withFields = false) {
  std::vector<std::string> messages;
  for (const auto& read : reads) {
    if (withFields) {
      framer.Feed(read, [&](std::string_view text, const FieldList*) { messages.emplace_back(text); });
    } else {
      framer.Feed(read, [&](std::string_view text) { messages.emplace_back(text); });
    }
  }
  return messages;
}

// The fields of a message as the dispatcher takes them.
Fields FieldsOf(std::string_view text, const FieldList* found) {
  if (found == nullptr) return SplitCommaText(text);
  return Fields(found->begin(), found->end());
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
    MessageFramer client(MessageFramer::kDefaultLimit, 1 + trial % 40);
    ASSERT_EQ(FeedAll(client, reads, true), kExpected) << "trial " << trial;
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

// Every kind of text the field rules treat apart, each read in every way:
// the fields handed on with a message are always those of SplitCommaText,
// and the plain comma texts of a game (most of what arrives) come with them.
TEST(Framing, FieldsFoundWithTheMessagesAreThoseOfTheSplit) {
  using namespace std::string_literals;
  const std::string longField(150, 'x');
  const std::vector<std::string> texts = {
      "S_OPLAY,3,2,41,17",
      "S_LIST,\"1:\"\"Bob X\"\":2\",3:Eve:0,\"4:Dave,D:1\",\"5:\"\"Carol \"\"\"\"C\"\"\"\"\"\":2\"",
      "S_CHAT Alice> hello, world",
      "S_CHAT \x83\x5C\x83\x93> \"ok\" \"\" \"a\"\"\"",
      "S_X," + longField + ",\"" + longField + "\"\"" + longField + "\"," + longField,
      // Where the plain rules would go wrong: empty fields, a quote inside
      // a field, bytes right after a closing quote, a quote left open.
      ",a",
      "a,",
      "a, ,b",
      "a,,b",
      "a\"b,c",
      "S_CHAT Carol \"C\"> hi",
      "\"a\"b",
      "\"abc",
      "a,\"b\"\"c",
      "\"\"\"",
      "a \t\x01b",
      "",
      " ",
  };
  std::string stream;
  for (size_t i = 0; i < texts.size(); ++i) stream += (i % 3 == 0 ? "\r\n" : "") + texts[i] + '\0';
  for (const size_t window :
       {size_t{1}, size_t{5}, size_t{63}, size_t{64}, size_t{65}, size_t{200}, FieldIndex::kWindow}) {
    for (const size_t readSize : {size_t{1}, size_t{7}, size_t{64}, size_t{1460}}) {
      MessageFramer framer(MessageFramer::kDefaultLimit, window);
      size_t index = 0;
      size_t found = 0;
      for (size_t at = 0; at < stream.size(); at += readSize) {
        framer.Feed(std::string_view(stream).substr(at, readSize),
                    [&](std::string_view text, const FieldList* fields) {
                      ASSERT_LT(index, texts.size());
                      EXPECT_EQ(text, TrimMessage(texts[index]));
                      EXPECT_EQ(FieldsOf(text, fields), SplitCommaText(text))
                          << "[" << text << "] window " << window << ", reads of " << readSize;
                      if (fields != nullptr && index < 4) ++found;
                      ++index;
                    });
      }
      EXPECT_EQ(index, texts.size());
      // Each of the first four fits a window of 200 and comes whole in a read at least once.
      if (window >= 200 && readSize == 1460) {
        EXPECT_EQ(found, 4u) << "window " << window;
      }
    }
  }
}

TEST(Framing, FieldsFoundForAnyBytesAreThoseOfTheSplit) {
  const std::string alphabet = std::string("ab,:\" \t\x01\r\n\x83\x5C") + '\0';
  std::mt19937 random(20261209);
  for (int trial = 0; trial < 3000; ++trial) {
    std::string stream(std::uniform_int_distribution<size_t>(0, trial % 10 == 0 ? 600 : 40)(random), ' ');
    for (char& c : stream) c = alphabet[random() % alphabet.size()];
    MessageFramer framer(MessageFramer::kDefaultLimit, 1 + random() % 300);
    const size_t readSize = 1 + random() % 100;
    for (size_t at = 0; at < stream.size(); at += readSize) {
      framer.Feed(std::string_view(stream).substr(at, readSize),
                  [&](std::string_view text, const FieldList* fields) {
                    ASSERT_EQ(FieldsOf(text, fields), SplitCommaText(text)) << "trial " << trial;
                  });
    }
  }
}

// The fields handed on with a message live in the framing: a modal box's
// event loop feeding more bytes must not change them under the handler.
TEST(Framing, FoundFieldsStayWhileAHandlerTakesMoreBytes) {
  using namespace std::string_literals;
  MessageFramer framer;
  std::vector<Fields> seen;
  std::function<void(std::string_view, const FieldList*)> handle = [&](std::string_view text,
                                                                       const FieldList* fields) {
    const Fields before = FieldsOf(text, fields);
    if (seen.empty()) framer.Feed("S_B,\"x\"\"y\",3\0S_C,4,"s, handle);
    EXPECT_EQ(FieldsOf(text, fields), before) << text;
    seen.push_back(before);
  };
  framer.Feed("S_A,\"p\"\"q\",1\0"s, handle);
  framer.Feed("5\0"s, handle);
  EXPECT_EQ(seen, (std::vector<Fields>{{"S_A", "p\"q", "1"}, {"S_B", "x\"y", "3"}, {"S_C", "4", "5"}}));
}

}  // namespace
}  // namespace gorvane
