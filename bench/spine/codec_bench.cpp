// SPDX-License-Identifier: GPL-3.0-or-later
// Throughput of the receive path (framing plus comma-text splitting of every
// message) against a plain memchr scan for the terminators of the same bytes.
// The ratio is what matters: both are measured in this process, one after the
// other, so a busy machine moves both numbers together. The dispatch path
// splits into views (FieldViews); SplitCommaText, a string per field, is
// measured beside it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "median_reporter.h"
#include "smoke.h"
#include "spine/codec.h"
#include "spine/framing.h"

namespace {

constexpr size_t kStreamBytes = size_t{4} * 1024 * 1024;

// Quotes a field the way the server does when it holds a blank, a quote or
// the delimiter.
std::string Quoted(std::string_view field, char delimiter) {
  bool needs = field.empty();
  for (unsigned char c : field) needs = needs || c <= 0x20 || c == '"' || c == delimiter;
  if (!needs) return std::string(field);
  std::string out = "\"";
  for (char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

// A server's traffic as the lobby sees it: chat lines, list snapshots with
// tens of records, and the short play messages of running games. Names mix
// ASCII with code page 932 double-byte characters, some of whose trail bytes
// are a backslash or a bar.
std::string MakeStream() {
  const std::vector<std::string> names = {"Alice",
                                          "Bob X",
                                          "\x83\x5C\x83\x93\x83\x4F",
                                          "Carol \"C\"",
                                          "\x95\x5C\x8E\xA6",
                                          "Dave,D",
                                          "\x83\x7C\x83\x8A\x83\x58",
                                          "Eve",
                                          "Mallory_77",
                                          "\x93\x63\x92\x86 \x91\xBE\x98\x59"};
  const std::vector<std::string> chat = {"hello, world",
                                         "gg",
                                         "\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD",
                                         "anyone for a game?",
                                         "\x83\x5C\x83\x8D\x82\xC5\x8F\x9F\x95\x89\x81\x49 \"ok\"",
                                         "brb, 5 min"};
  std::mt19937 random(20240611);
  auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
  auto number = [&](unsigned below) { return std::to_string(random() % below); };

  std::string stream;
  stream.reserve(kStreamBytes + 4096);
  while (stream.size() < kStreamBytes) {
    if (random() % 8 == 0) stream += "\r\n";
    const unsigned kind = random() % 10;
    if (kind < 3) {
      stream += "S_CHAT " + pick(names) + "> " + pick(chat);
    } else if (kind < 4) {
      stream += "S_LIST";
      const unsigned records = 10 + random() % 40;
      for (unsigned i = 0; i < records; ++i) {
        const std::string record = std::to_string(i + 1) + ':' + Quoted(pick(names), ':') + ':' + number(4);
        stream += ',' + Quoted(record, ',');
      }
    } else if (kind < 7) {
      stream += "S_OPLAY," + number(8) + ',' + number(6) + ',' + number(54) + ',' + number(60);
    } else if (kind < 9) {
      stream += "S_PLAYED," + number(6) + ',' + number(13);
    } else {
      stream += "S_JOIN," + number(500) + ',' + Quoted(pick(names), ',');
    }
    stream += '\0';
  }
  return stream;
}

const std::string& Stream() {
  static const std::string stream = MakeStream();
  return stream;
}

size_t CountNuls(std::string_view bytes) {
  size_t count = 0;
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  while (p < end) {
    const void* hit = std::memchr(p, '\0', static_cast<size_t>(end - p));
    if (hit == nullptr) break;
    ++count;
    p = static_cast<const char*>(hit) + 1;
  }
  return count;
}

struct Received {
  size_t messages = 0;
  size_t fields = 0;
};

// What the session does with a connection's bytes, less the dispatch: each
// message split as the dispatcher splits it.
Received FrameAndSplit(gorvane::MessageFramer& framer, std::string_view stream, size_t readSize) {
  Received received;
  gorvane::FieldViews fields;
  for (size_t at = 0; at < stream.size(); at += readSize) {
    framer.Feed(stream.substr(at, readSize), [&](std::string_view text, const gorvane::FieldList* found) {
      if (found != nullptr) {
        fields.Adopt(*found);
      } else {
        fields.Split(text);
      }
      ++received.messages;
      received.fields += fields.size();
    });
  }
  return received;
}

// The same with a string per field.
Received FrameAndSplitStrings(gorvane::MessageFramer& framer, std::string_view stream, size_t readSize) {
  Received received;
  for (size_t at = 0; at < stream.size(); at += readSize) {
    framer.Feed(stream.substr(at, readSize), [&](std::string_view text) {
      const gorvane::Fields fields = gorvane::SplitCommaText(text);
      ++received.messages;
      received.fields += fields.size();
    });
  }
  return received;
}

void BM_FramingAndSplit(benchmark::State& state) {
  const std::string& stream = Stream();
  const auto readSize = static_cast<size_t>(state.range(0));
  gorvane::MessageFramer framer;
  for (auto _ : state) {
    const Received received = FrameAndSplit(framer, stream, readSize);
    benchmark::DoNotOptimize(received.fields);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_FramingAndSplit)->Arg(1460)->Arg(4096)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_FramingAndSplitCommaText(benchmark::State& state) {
  const std::string& stream = Stream();
  gorvane::MessageFramer framer;
  for (auto _ : state) {
    const Received received = FrameAndSplitStrings(framer, stream, 1460);
    benchmark::DoNotOptimize(received.fields);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_FramingAndSplitCommaText)->Repetitions(5)->ReportAggregatesOnly(true);

// The framing alone, to tell its share from the splitting's.
void BM_FramingOnly(benchmark::State& state) {
  const std::string& stream = Stream();
  gorvane::MessageFramer framer;
  for (auto _ : state) {
    size_t bytes = 0;
    for (size_t at = 0; at < stream.size(); at += 1460) {
      framer.Feed(std::string_view(stream).substr(at, 1460),
                  [&](std::string_view text) { bytes += text.size(); });
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_FramingOnly)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_MemchrNuls(benchmark::State& state) {
  const std::string& stream = Stream();
  for (auto _ : state) {
    const size_t count = CountNuls(stream);
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_MemchrNuls)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  // The framing must see exactly the messages the terminators delimit, or
  // the comparison means nothing.
  {
    gorvane::MessageFramer framer;
    const Received received = FrameAndSplit(framer, Stream(), 1460);
    const Received strings = FrameAndSplitStrings(framer, Stream(), 1460);
    const size_t nuls = CountNuls(Stream());
    if (received.fields != strings.fields) {
      std::fprintf(stderr, "codec: the two splitters found %zu and %zu fields\n", received.fields,
                   strings.fields);
      return 1;
    }
    if (received.messages != nuls || framer.pending() != 0) {
      std::fprintf(stderr, "codec: framed %zu messages but the stream holds %zu terminators\n",
                   received.messages, nuls);
      return 1;
    }
    std::printf("codec: stream of %.1f MB, %zu messages, %zu fields\n", Stream().size() / 1e6,
                received.messages, received.fields);
  }

  // Repetitions of the two benchmarks take turns, so a busy moment of the
  // machine does not land on one of them only. A flag given by hand wins.
  gorvane::bench::BenchmarkFlags flags(argc, argv, {"--benchmark_enable_random_interleaving=true"});
  benchmark::Initialize(flags.argc(), flags.argv());
  if (benchmark::ReportUnrecognizedArguments(*flags.argc(), flags.argv())) return 1;
  gorvane::bench::MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto rate = [&](const std::string& name) { return reporter.Counter(name, "bytes_per_second") / 1e6; };
  const double memchrRate = rate("BM_MemchrNuls");
  if (memchrRate <= 0) {
    std::printf("codec: memchr baseline not measured (filtered out?)\n");
    return 0;
  }
  // TCP segments are the common read; whole pages show what batching buys.
  const double segments = rate("BM_FramingAndSplit/1460");
  const double pages = rate("BM_FramingAndSplit/4096");
  if (segments > 0) {
    std::printf("codec: framing+split %.1f MB/s, memchr %.1f MB/s, ratio X/Y = %.3f (goal >= 0.25)\n",
                segments, memchrRate, segments / memchrRate);
  }
  if (pages > 0) {
    std::printf("codec: with 4096-byte reads framing+split %.1f MB/s, ratio %.3f\n", pages,
                pages / memchrRate);
  }
  if (const double strings = rate("BM_FramingAndSplitCommaText"); strings > 0) {
    std::printf("codec: with SplitCommaText (a string per field) %.1f MB/s, ratio %.3f\n", strings,
                strings / memchrRate);
  }
  if (const double framing = rate("BM_FramingOnly"); framing > 0) {
    std::printf("codec: framing alone %.1f MB/s, ratio %.3f\n", framing, framing / memchrRate);
  }
  return 0;
}
