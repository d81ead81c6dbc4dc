// SPDX-License-Identifier: GPL-3.0-or-later
// The lobby's lists at server scale, offscreen: a full rebuild from an S_LIST
// of 20,000 users and an S_GLIST of 2,000 parties, parsed by the lobby and
// drawn by the lobby window's own list widgets, against a QListWidget that
// sorts for itself and is filled row by row with the same entry texts; then
// 1,000 users leaving one by one, against finding and taking each row out of
// such a widget (timed over the first few leavers only: each costs it a
// relayout of every row). Both sides of each ratio run in this process, so a
// busy machine moves them together.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QListWidget>
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/dispatcher.h"
#include "client/lobby.h"
#include "median_reporter.h"
#include "qt/console_widgets.h"
#include "qt/list_box_view.h"
#include "qt/qt_text.h"
#include "smoke.h"
#include "spine/sjis.h"

namespace {

using gorvane::Lobby;

constexpr int kUsers = 20000;
constexpr int kParties = 2000;
constexpr int kQuits = 1000;
constexpr int kNaiveQuits = 20;
const QSize kUsersSize(120, 134);
const QSize kPartiesSize(237, 134);

// The lobby's ports with nothing behind them: the connection is down, the
// consoles and the debug log only count what they are given.
struct Quiet : gorvane::Transport,
               gorvane::DebugLog,
               gorvane::ErrorBox,
               gorvane::ConsoleView,
               gorvane::Clock,
               gorvane::Pause,
               gorvane::LobbyView {
  size_t logged = 0;
  size_t errors = 0;
  bool active() const override { return false; }
  bool connected() const override { return false; }
  bool Start(const std::string&, uint16_t) override { return false; }
  void Close() override {}
  void Send(std::string_view) override {}
  void AppendLine(std::string_view line) override { logged += line.size(); }
  void ShowError(std::string_view) override { ++errors; }
  void AddLine(std::string_view line, gorvane::Rgb) override { logged += line.size(); }
  gorvane::LocalTime Now() const override { return {}; }
  void Wait(int) override {}
  void ShowOnline(bool) override {}
  void ShowLabel2(std::string_view) override {}
  void ShowEdit2(std::string_view) override {}
  gorvane::GameWindow& OpenGameWindow(std::string_view) override { throw std::logic_error("no game here"); }
};

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

// The server's lists: ids spread out and in no order, names in ASCII and in
// code page 932 (some with blanks, so quoted), a third of the users in a
// party, a few leaders the user list does not know.
struct Server {
  std::vector<gorvane::userlist_t> users;
  std::vector<gorvane::grouplist_t> parties;
  std::string list;
  std::string glist;
  std::string wire;  // both, each with its terminator

  Server() {
    const std::vector<std::string> names = {"Alice",
                                            "Bob X",
                                            gorvane::sjis::Text("ソフト"),
                                            "carol",
                                            gorvane::sjis::Text("表示 名"),
                                            "Dave_77",
                                            gorvane::sjis::Text("ポリス"),
                                            "eve",
                                            gorvane::sjis::Text("田中 太郎")};
    std::mt19937 random(20240611);
    std::vector<int32_t> ids(kUsers * 2);
    std::iota(ids.begin(), ids.end(), 1);
    std::shuffle(ids.begin(), ids.end(), random);
    ids.resize(kUsers);
    list = "S_LIST";
    for (int32_t id : ids) {
      const int32_t group = random() % 3 == 0 ? static_cast<int32_t>(1 + random() % kParties) : 0;
      users.push_back({id, names[random() % names.size()] + std::to_string(random() % 1000), group});
      const gorvane::userlist_t& u = users.back();
      list +=
          ',' + Quoted(std::to_string(u.id) + ':' + Quoted(u.name, ':') + ':' + std::to_string(u.group), ',');
    }
    glist = "S_GLIST";
    for (int32_t number = kParties; number >= 1; --number) {
      const int32_t leader = random() % 50 == 0 ? -number : ids[random() % ids.size()];
      parties.push_back({number, leader, static_cast<int32_t>(1 + random() % 6), random() % 4 == 0});
      glist += ',' + std::to_string(number) + ':' + std::to_string(leader) + ':' +
               std::to_string(parties.back().count) + ':' + (parties.back().playing ? "1" : "0");
    }
    wire = list + '\0' + glist + '\0';
  }
};

const Server& TheServer() {
  static const Server server;
  return server;
}

// The same entry texts the lobby shows, ready as QStrings for the naive side.
struct Entries {
  QStringList users;
  QStringList parties;
  std::vector<int32_t> quitters;
  QStringList quitterTexts;

  Entries() {
    const Server& server = TheServer();
    std::map<int32_t, std::string> names;
    for (const auto& u : server.users) {
      users << gorvane::ToQString(gorvane::UserEntryText(u));
      names[u.id] = u.name;
    }
    for (const auto& p : server.parties) {
      const auto it = names.find(p.leader);
      parties << gorvane::ToQString(
          gorvane::PartyEntryText(p, it != names.end() ? it->second : std::to_string(p.leader)));
    }
    std::mt19937 random(7);
    std::vector<size_t> order(server.users.size());
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), random);
    for (int i = 0; i < kQuits; ++i) {
      quitters.push_back(server.users[order[i]].id);
      quitterTexts << users[static_cast<int>(order[i])];
    }
  }
};

const Entries& TheEntries() {
  static const Entries entries;
  return entries;
}

// The lobby logic and the lobby window's two list widgets, on screen. The
// debug log only counts its lines unless the window's own is asked for.
struct RealLists {
  Quiet quiet;
  gorvane::Console console{quiet, quiet};
  gorvane::ConsoleWidget memo;
  Lobby lobby;
  std::unique_ptr<gorvane::ListBoxView> users;
  std::unique_ptr<gorvane::ListBoxView> parties;

  explicit RealLists(bool debugLogWidget = false)
      : lobby({quiet, debugLogWidget ? static_cast<gorvane::DebugLog&>(memo) : quiet, quiet, console, quiet,
               quiet},
              "/nonexistent/tvr1.ini"),
        users(std::make_unique<gorvane::ListBoxView>(lobby.lists().ListBox1(), nullptr)),
        parties(std::make_unique<gorvane::ListBoxView>(lobby.lists().ListBox2(), nullptr)) {
    users->resize(kUsersSize);
    parties->resize(kPartiesSize);
    users->show();
    parties->show();
    memo.setFont(gorvane::DebugLogFont());
    memo.resize(361, 72);
    if (debugLogWidget) memo.show();
  }
  void Rebuild() {
    gorvane::DispatchServerMessage(TheServer().list, lobby);
    gorvane::DispatchServerMessage(TheServer().glist, lobby);
    QApplication::processEvents();
  }
  // As the window gets them: framed, echoed to the debug log, dispatched.
  void Receive() {
    lobby.ClientSocket1Read(TheServer().wire);
    QApplication::processEvents();
  }
};

// A list that sorts for itself and is given one row at a time.
struct NaiveLists {
  QListWidget users;
  QListWidget parties;
  NaiveLists() {
    for (QListWidget* w : {&users, &parties}) {
      w->setSortingEnabled(true);
      w->show();
    }
    users.resize(kUsersSize);
    parties.resize(kPartiesSize);
  }
  void Rebuild() {
    const Entries& entries = TheEntries();
    users.clear();
    for (const QString& text : entries.users) users.addItem(text);
    parties.clear();
    for (const QString& text : entries.parties) parties.addItem(text);
    QApplication::processEvents();
  }
};

void BM_LobbyRebuild(benchmark::State& state) {
  RealLists lists;
  for (auto _ : state) lists.Rebuild();
  if (lists.lobby.lists().ListBox1().size() != kUsers || lists.lobby.lists().ListBox2().size() != kParties ||
      lists.quiet.errors != 0) {
    state.SkipWithError("the lobby did not build every row");
  }
}
BENCHMARK(BM_LobbyRebuild)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

// The same as the window receives it, with its debug log taking the echo of
// both messages and a trace line per record.
void BM_LobbyRebuildWithDebugLog(benchmark::State& state) {
  RealLists lists(true);
  for (auto _ : state) lists.Receive();
  if (lists.memo.lines().size() < kUsers + kParties) state.SkipWithError("the traces did not reach the log");
}
BENCHMARK(BM_LobbyRebuildWithDebugLog)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_NaiveRebuild(benchmark::State& state) {
  NaiveLists lists;
  for (auto _ : state) lists.Rebuild();
  if (lists.users.count() != kUsers || lists.parties.count() != kParties) {
    state.SkipWithError("the naive lists are short");
  }
}
BENCHMARK(BM_NaiveRebuild)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

void BM_LobbyQuits(benchmark::State& state) {
  RealLists lists;
  const Entries& entries = TheEntries();
  for (auto _ : state) {
    state.PauseTiming();
    lists.Rebuild();
    state.ResumeTiming();
    for (int32_t id : entries.quitters) {
      gorvane::DispatchServerMessage("S_QUIT," + std::to_string(id), lists.lobby);
      QApplication::processEvents();
    }
  }
  if (lists.lobby.lists().ListBox1().size() != kUsers - kQuits) state.SkipWithError("users were not removed");
  state.SetItemsProcessed(state.iterations() * kQuits);
}
BENCHMARK(BM_LobbyQuits)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

void BM_NaiveQuits(benchmark::State& state) {
  NaiveLists lists;
  const Entries& entries = TheEntries();
  for (auto _ : state) {
    state.PauseTiming();
    lists.Rebuild();
    state.ResumeTiming();
    for (const QString& text : entries.quitterTexts.first(kNaiveQuits)) {
      const QList<QListWidgetItem*> found = lists.users.findItems(text, Qt::MatchExactly);
      if (!found.isEmpty())
        std::unique_ptr<QListWidgetItem>(lists.users.takeItem(lists.users.row(found.first())));
      QApplication::processEvents();
    }
  }
  if (lists.users.count() != kUsers - kNaiveQuits) state.SkipWithError("users were not removed");
  state.SetItemsProcessed(state.iterations() * kNaiveQuits);
}
BENCHMARK(BM_NaiveQuits)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  std::printf("lobby: S_LIST of %d users (%.1f MB), S_GLIST of %d parties, %d users leaving\n", kUsers,
              TheServer().list.size() / 1e6, kParties, kQuits);
  TheEntries();

  gorvane::bench::BenchmarkFlags flags(argc, argv, {});
  benchmark::Initialize(flags.argc(), flags.argv());
  if (benchmark::ReportUnrecognizedArguments(*flags.argc(), flags.argv())) return 1;
  gorvane::bench::MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto ms = [&](const std::string& name) { return reporter.Milliseconds(name); };
  const double rebuild = ms("BM_LobbyRebuild");
  const double naiveRebuild = ms("BM_NaiveRebuild");
  if (rebuild > 0 && naiveRebuild > 0) {
    std::printf(
        "lobby: full rebuild (parse + tables + rows + draw) %.1f ms, naive sorting QListWidget (rows only) "
        "%.1f ms, ratio %.2fx (goal <= 0.5x)\n",
        rebuild, naiveRebuild, rebuild / naiveRebuild);
  }
  const double quits = ms("BM_LobbyQuits") / kQuits;
  const double naiveQuits = ms("BM_NaiveQuits") / kNaiveQuits;
  if (quits > 0 && naiveQuits > 0) {
    std::printf(
        "lobby: S_QUIT one by one %.1f us per user, naive findItems + takeItem %.1f us per user, ratio %.3fx "
        "(goal <= 0.5x)\n",
        quits * 1000, naiveQuits * 1000, quits / naiveQuits);
  }
  const double withLog = ms("BM_LobbyRebuildWithDebugLog");
  if (withLog > 0 && naiveRebuild > 0) {
    std::printf(
        "lobby: the same received through the window's framing, with its debug log taking the echo and "
        "%d trace lines, %.1f ms, ratio %.2fx\n",
        kUsers + kParties, withLog, withLog / naiveRebuild);
  }
  return 0;
}
