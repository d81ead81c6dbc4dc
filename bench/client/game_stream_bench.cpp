// SPDX-License-Identifier: GPL-3.0-or-later
// Messages per second through the whole receive side of the client (framing,
// dispatch and the lobby and game room logic, with views that draw nothing)
// against framing and comma splitting alone, over the same bytes: what one
// player received during a whole game, recorded at start-up from the real
// server and three headless players on loopback. The lobby's 300 ms pauses
// are taken out of the replay, so the logic's own cost is what is measured.
// The splitting of the baseline is the dispatcher's own (views); splitting
// into a string per field (SplitCommaText) is measured beside it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bot/headless_player.h"
#include "client/game_room.h"
#include "client/lobby.h"
#include "median_reporter.h"
#include "server/loop/server.h"
#include "smoke.h"
#include "spine/codec.h"
#include "spine/framing.h"
#include "spine/system_clock.h"
#include "support/client/receiving_client.h"

namespace {

using namespace gorvane;

constexpr const char* kAddress = "127.0.0.95";
constexpr uint32_t kSeed = 3;
// A socket read of one TCP segment.
constexpr size_t kReadSize = 1460;

std::string CardListPath() { return std::string(GORVANE_DATA_DIR) + "/longcardlist.txt"; }

struct Recording {
  std::string stream;
  std::string error;  // why there is no stream
};

// Everything the creator of a party received from its connect to the
// results of its first game, each message with its terminator.
Recording RecordGame(uint32_t seed) {
  Recording recording;
  std::string& error = recording.error;
  std::vector<std::string> log;
  server::ServerOptions options;
  options.listenAddress = kAddress;
  options.databasePath = ":memory:";
  options.cardsPath = CardListPath();
  options.seed = seed;
  options.log = [&log](std::string_view line) { log.emplace_back(line); };
  server::Server server(options);
  if (!server.Start(error)) return recording;

  std::string& stream = recording.stream;
  std::vector<std::unique_ptr<bot::HeadlessPlayer>> players;
  for (int i = 0; i < 3; ++i) {
    bot::PlayerOptions player;
    player.host = kAddress;
    player.name = "Player" + std::to_string(i + 1);
    player.mode = i == 0 ? bot::Mode::kCreate : bot::Mode::kJoinAny;
    player.cardListPath = CardListPath();
    player.pauses = false;
    player.startAfter = {};
    player.gamesToStart = 1;
    bot::HeadlessPlayer::MessageHook record;
    if (i == 0) record = [&stream](std::string_view text) { (stream += text) += '\0'; };
    players.push_back(std::make_unique<bot::HeadlessPlayer>(player, bot::HeadlessPlayer::LineSink{},
                                                            bot::HeadlessPlayer::LineSink{}, record));
    players.back()->Start();
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (players[0]->results() == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      error = "the recorded game did not end in time";
      stream.clear();
      return recording;
    }
    server.RunOnce(1);
    for (auto& player : players) player->Poll(0);
  }
  return recording;
}

// Recorded once, on first use, and never changed.
const Recording& TheRecording() {
  static const Recording recording = RecordGame(kSeed);
  return recording;
}
const std::string& Stream() { return TheRecording().stream; }

// The client's receive side with nothing to draw on: a lobby whose socket
// is up and swallows what is sent, game rooms whose views draw nothing.
class Replay {
 public:
  void Read(std::string_view bytes) { client_.Read(bytes); }
  int errors() const { return client_.errors(); }
  const GameRoom* room() { return client_.currentRoom(); }

 private:
  testing::UpTransport transport_;
  SystemClock clock_;
  testing::ReceivingClient<> client_{transport_, clock_, Profile{"Player1", kAddress, "guest", "******"},
                                     CardListPath()};
};

// Framing and splitting as the dispatcher splits, into views.
size_t FrameAndSplit(MessageFramer& framer, std::string_view stream) {
  size_t fields = 0;
  FieldViews views;
  for (size_t at = 0; at < stream.size(); at += kReadSize) {
    framer.Feed(stream.substr(at, kReadSize), [&](std::string_view text, const FieldList* found) {
      if (found != nullptr) {
        views.Adopt(*found);
      } else {
        views.Split(text);
      }
      fields += views.size();
    });
  }
  return fields;
}

// The same with a string per field.
size_t FrameAndSplitStrings(MessageFramer& framer, std::string_view stream) {
  size_t fields = 0;
  for (size_t at = 0; at < stream.size(); at += kReadSize) {
    framer.Feed(stream.substr(at, kReadSize),
                [&](std::string_view text) { fields += SplitCommaText(text).size(); });
  }
  return fields;
}

size_t MessagesIn(std::string_view stream) {
  return static_cast<size_t>(std::count(stream.begin(), stream.end(), '\0'));
}

void BM_FramingAndSplit(benchmark::State& state) {
  const std::string& stream = Stream();
  MessageFramer framer;
  for (auto _ : state) benchmark::DoNotOptimize(FrameAndSplit(framer, stream));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * MessagesIn(stream)));
}
BENCHMARK(BM_FramingAndSplit)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_FramingAndSplitCommaText(benchmark::State& state) {
  const std::string& stream = Stream();
  MessageFramer framer;
  for (auto _ : state) benchmark::DoNotOptimize(FrameAndSplitStrings(framer, stream));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * MessagesIn(stream)));
}
BENCHMARK(BM_FramingAndSplitCommaText)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_ClientLogic(benchmark::State& state) {
  const std::string_view stream = Stream();
  for (auto _ : state) {
    // A new client for each game: its start-up reads the card list, which
    // is not the receive side.
    state.PauseTiming();
    auto replay = std::make_unique<Replay>();
    state.ResumeTiming();
    for (size_t at = 0; at < stream.size(); at += kReadSize) replay->Read(stream.substr(at, kReadSize));
    benchmark::DoNotOptimize(replay->room());
    state.PauseTiming();
    replay.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * MessagesIn(stream)));
}
BENCHMARK(BM_ClientLogic)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

// --write-recording=FILE [--seed=N] records a game, by default the one
// measured, and keeps its bytes, for instance as a seed of the receive
// path fuzzer.
int WriteRecording(int argc, char** argv) {
  constexpr std::string_view kWriteFlag = "--write-recording=";
  constexpr std::string_view kSeedFlag = "--seed=";
  std::string path;
  uint32_t seed = kSeed;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with(kWriteFlag)) path = arg.substr(kWriteFlag.size());
    if (arg.starts_with(kSeedFlag))
      seed = static_cast<uint32_t>(std::stoul(std::string(arg.substr(kSeedFlag.size()))));
  }
  if (path.empty()) return -1;
  const Recording recording = RecordGame(seed);
  if (recording.stream.empty()) {
    std::fprintf(stderr, "game_stream: no game recorded: %s\n", recording.error.c_str());
    return 1;
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  const bool written = file != nullptr && std::fwrite(recording.stream.data(), 1, recording.stream.size(),
                                                      file) == recording.stream.size();
  if ((file != nullptr && std::fclose(file) != 0) || !written) {
    std::fprintf(stderr, "game_stream: cannot write %s\n", path.c_str());
    return 1;
  }
  std::printf("game_stream: %zu messages of the game of seed %u written to %s\n",
              MessagesIn(recording.stream), seed, path.c_str());
  return 0;
}

int main(int argc, char** argv) {
  if (const int written = WriteRecording(argc, argv); written >= 0) return written;
  if (Stream().empty()) {
    std::fprintf(stderr, "game_stream: no game recorded: %s\n", TheRecording().error.c_str());
    return 1;
  }
  // The replay must take the stream as the player did: no message refused.
  {
    Replay replay;
    for (size_t at = 0; at < Stream().size(); at += kReadSize) {
      replay.Read(std::string_view(Stream()).substr(at, kReadSize));
    }
    if (replay.errors() != 0 || replay.room() == nullptr) {
      std::fprintf(stderr, "game_stream: the replay did not follow the game (%d errors)\n", replay.errors());
      return 1;
    }
  }
  std::printf("game_stream: one player's whole game, %zu messages, %zu bytes (seed %u)\n",
              MessagesIn(Stream()), Stream().size(), kSeed);

  gorvane::bench::BenchmarkFlags flags(argc, argv, {"--benchmark_enable_random_interleaving=true"});
  benchmark::Initialize(flags.argc(), flags.argv());
  if (benchmark::ReportUnrecognizedArguments(*flags.argc(), flags.argv())) return 1;
  gorvane::bench::MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const double baseline = reporter.Counter("BM_FramingAndSplit", "items_per_second");
  const double logic = reporter.Counter("BM_ClientLogic", "items_per_second");
  if (baseline <= 0 || logic <= 0) {
    std::printf("game_stream: a benchmark was not measured (filtered out?)\n");
    return 0;
  }
  std::printf(
      "game_stream: client logic %.0f messages/s (%.0f ns each), framing+split %.0f messages/s (%.0f ns "
      "each)\n",
      logic, 1e9 / logic, baseline, 1e9 / baseline);
  std::printf("game_stream: ratio logic/framing+split = %.3f (goal >= 0.5)\n", logic / baseline);
  if (const double strings = reporter.Counter("BM_FramingAndSplitCommaText", "items_per_second");
      strings > 0) {
    std::printf("game_stream: against framing+SplitCommaText (%.0f ns each): ratio %.3f\n", 1e9 / strings,
                logic / strings);
  }
  return 0;
}
