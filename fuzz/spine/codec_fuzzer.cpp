// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds arbitrary bytes through the receive path the way a socket delivers
// them and checks what must hold for any input: the same messages come out
// however the bytes are cut into reads, also when a handler feeds more bytes
// from inside a nested event loop; comma text joined and split again gives
// back the same fields; integer parsing agrees with a plain reading of the
// decimal rules; and the splitters of the dispatch path, which give views
// (of one text, or of every message of a read at once in the framing), find
// exactly the fields SplitCommaText finds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "spine/codec.h"
#include "spine/fields.h"
#include "spine/framing.h"

namespace {

using gorvane::Fields;

void Require(bool holds, const char* what, std::string_view text) {
  if (holds) return;
  std::fprintf(stderr, "codec_fuzzer: %s\n  text (%zu bytes):", what, text.size());
  for (unsigned char c : text) std::fprintf(stderr, " %02x", c);
  std::fprintf(stderr, "\n");
  std::abort();
}

// Decimal with one optional sign, digits only, within 32 bits.
std::optional<int32_t> PlainInt32(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{1} << 31) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

void CheckInteger(std::string_view text) {
  Require(gorvane::ParseInt32(text) == PlainInt32(text), "ParseInt32 disagrees with the decimal rules", text);
}

// The dispatch path's splitter must find exactly the fields of
// SplitDelimitedText, a view for each string.
void CheckViews(std::string_view text, char delimiter) {
  const Fields fields = gorvane::SplitDelimitedText(text, delimiter);
  const gorvane::FieldViews views(text, delimiter);
  bool same = views.size() == fields.size();
  for (size_t i = 0; same && i < fields.size(); ++i) same = views[i] == fields[i];
  Require(
      same,
      delimiter == ',' ? "FieldViews differs from SplitCommaText" : "FieldViews differs from the colon split",
      text);
  // Reused for another text, it forgets the first.
  gorvane::FieldViews reused(text.substr(text.size() / 2), delimiter);
  reused.Split(text, delimiter);
  same = reused.size() == fields.size();
  for (size_t i = 0; same && i < fields.size(); ++i) same = reused[i] == fields[i];
  Require(same, "a reused FieldViews differs from a fresh one", text);
}

// The fields the framing found for a message, if it found them, are those
// of SplitCommaText.
void CheckFound(std::string_view text, const gorvane::FieldList* found) {
  if (found == nullptr) return;
  const Fields fields = gorvane::SplitCommaText(text);
  bool same = found->size() == fields.size();
  for (size_t i = 0; same && i < fields.size(); ++i) same = (*found)[i] == fields[i];
  Require(same, "the fields the framing found differ from SplitCommaText", text);
}

void CheckRoundTrip(const Fields& fields, std::string_view source) {
  const std::string joined = gorvane::JoinCommaText(fields);
  Require(gorvane::SplitCommaText(joined) == fields, "SplitCommaText(JoinCommaText(fields)) != fields",
          source);
}

void CheckMessage(std::string_view text) {
  const Fields fields = gorvane::SplitCommaText(text);
  CheckRoundTrip(fields, text);
  CheckViews(text, ',');
  for (const std::string& field : fields) {
    // The nested records of the lobby lists.
    const Fields record = gorvane::SplitDelimitedText(field, ':');
    CheckRoundTrip(record, field);
    CheckViews(field, ':');
    CheckInteger(field);
  }
  CheckInteger(text);

  const std::string_view rest = gorvane::TextAfterFirstSpace(text);
  const size_t blank = text.find(' ');
  const std::string_view expected = blank == std::string_view::npos ? text : text.substr(blank + 1);
  Require(rest.data() == expected.data() && rest.size() == expected.size(),
          "TextAfterFirstSpace is not the text after the first blank", text);
}

// Read lengths taken from the input itself, so the fuzzer steers them.
std::vector<std::string_view> Reads(std::string_view input) {
  std::vector<std::string_view> reads;
  size_t at = 0;
  while (at < input.size()) {
    const size_t length = 1 + static_cast<unsigned char>(input[at]) * 7 % 61;
    reads.push_back(input.substr(at, length));
    at += reads.back().size();
  }
  return reads;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  // The whole input as a single read.
  std::vector<std::string> whole;
  gorvane::MessageFramer once;
  once.Feed(input, [&](std::string_view text, const gorvane::FieldList* found) {
    whole.emplace_back(text);
    CheckFound(text, found);
  });
  const size_t lastNul = input.rfind('\0');
  const size_t tail = lastNul == std::string_view::npos ? input.size() : input.size() - lastNul - 1;
  Require(once.pending() == tail, "the framer holds other bytes than those after the last terminator", input);

  // A peer that sends more than the limit without a terminator is cut off,
  // after the messages it did terminate.
  if (size > 0) {
    const size_t limit = 16 + data[0] % 64;
    std::vector<std::string> limited;
    gorvane::MessageFramer small(limit);
    const auto result = small.Feed(input, [&](std::string_view text) { limited.emplace_back(text); });
    Require(limited == whole, "the limit changed the terminated messages", input);
    Require((result == gorvane::MessageFramer::Result::kOverflow) == (tail > limit),
            "overflow reported other than when the unterminated bytes pass the limit", input);
    Require(small.pending() == (tail > limit ? 0 : tail), "after an overflow bytes are still held", input);
  }

  // The same bytes in many reads; every other message's handler receives
  // the next read from inside itself, as a modal box's event loop would.
  // The fields are found a few bytes at a time, so that messages run over
  // the cuts between those stretches too.
  const std::vector<std::string_view> reads = Reads(input);
  std::vector<std::string> chunked;
  gorvane::MessageFramer framer(gorvane::MessageFramer::kDefaultLimit, size > 1 ? 1 + data[1] % 200 : 64);
  size_t next = 0;
  const auto onMessage = [&](std::string_view text, const gorvane::FieldList* found) {
    chunked.emplace_back(text);
    CheckFound(text, found);
    if (chunked.size() % 2 == 0 && next < reads.size()) {
      framer.Feed(reads[next++], [](std::string_view, const gorvane::FieldList*) {});
    }
  };
  while (next < reads.size()) framer.Feed(reads[next++], onMessage);
  Require(chunked == whole, "messages depend on how the bytes were cut into reads", input);
  Require(framer.pending() == tail, "after many reads the framer holds the wrong bytes", input);

  for (const std::string& text : whole) CheckMessage(text);

  // The raw bytes as a list of fields, cut at 0x01.
  Fields list;
  size_t start = 0;
  for (;;) {
    const size_t cut = input.find('\x01', start);
    list.emplace_back(
        input.substr(start, cut == std::string_view::npos ? std::string_view::npos : cut - start));
    if (cut == std::string_view::npos) break;
    start = cut + 1;
  }
  CheckRoundTrip(list, input);
  CheckInteger(input);
  // Any bytes at all, NULs included, split the same both ways.
  CheckViews(input, ',');
  CheckViews(input, ':');
  return 0;
}
