// SPDX-License-Identifier: GPL-3.0-or-later
// The metrics a host scrapes: each cause moves its own line by as much as
// happened, and the text is what Prometheus's own checker accepts.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "support/server/loopback.h"

namespace gorvane::testing {
namespace {

using namespace std::chrono_literals;

// What a scraper gets from the server's HTTP side.
std::string MetricsText(server::Server& server) {
  httplib::Client client("127.0.0.46", server.httpPort());
  client.set_read_timeout(5, 0);
  const auto result = client.Get("/metrics");
  if (!result || result->status != 200) return {};
  return result->body;
}

// What Prometheus's own checker says of the text; empty when it has nothing
// to say and exits 0.
std::string PromtoolComplaints(const std::string& text) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("gorvane-metrics-" + std::to_string(getpid()) + ".txt");
  std::ofstream(file) << text;
  FILE* pipe = popen(("promtool check metrics < '" + file.string() + "' 2>&1").c_str(), "r");
  if (!pipe) return "promtool did not start";
  std::string complaints;
  char buffer[512];
  while (const size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) complaints.append(buffer, got);
  const int status = pclose(pipe);
  std::filesystem::remove(file);
  return status == 0 ? complaints : "exit " + std::to_string(status) + ": " + complaints;
}

// The value of one series ("name" or "name{labels}"), if the text has it.
std::optional<double> Sample(const std::string& text, const std::string& series) {
  const std::string head = series + " ";
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    if (text.compare(at, head.size(), head) == 0) return std::stod(text.substr(at + head.size(), end - at));
    at = end + 1;
  }
  return std::nullopt;
}

struct Move {
  std::string series;
  double by = 0;
  bool atLeast = false;  // for what depends on timing, such as the loop's turns
};

TEST(Metrics, EachCauseMovesItsLine) {
  Harness harness("127.0.0.46", ":memory:", [](server::ServerOptions& options) {
    options.chat = {2, 0};
    options.http = server::HttpEndpoint{"127.0.0.46", 0};
  });
  CardCatalogue cards;
  LoadCards(cards);
  std::vector<std::unique_ptr<RawClient>> clients;
  auto joined = [&](const char* name) {
    clients.push_back(harness.Connect(name));
    return clients.back().get();
  };
  auto all = [&] {
    std::vector<RawClient*> raw;
    for (const auto& client : clients) raw.push_back(client.get());
    return raw;
  };
  RawClient* first = joined("First");

  const struct {
    const char* cause;
    std::function<void()> act;
    std::vector<Move> moves;
  } rows[] = {
      {"a join",
       [&] { joined("Second"); },
       {{"gorvane_users", 1},
        {"gorvane_connections", 1},
        {R"(gorvane_messages_received_total{kind="G_JOIN"})", 1},
        {"gorvane_loop_turn_seconds_count", 1, true}}},
      {"a chat line to two users",
       [&] {
         first->Command("G_CHAT", "hello");
         harness.Received(all());
       },
       {{R"(gorvane_messages_received_total{kind="G_CHAT"})", 1},
        {R"(gorvane_messages_sent_total{kind="S_CHAT"})", 2},
        {R"(gorvane_defences_total{defence="rate_limited"})", 0}}},
      {"a chat line over the limit",
       [&] {
         for (int i = 0; i < 3; ++i) clients[1]->Command("G_CHAT", "again");
         harness.Received(all());
       },
       {{R"(gorvane_defences_total{defence="rate_limited"})", 1},
        {R"(gorvane_messages_sent_total{kind="S_CHAT"})", 4}}},
      {"an unknown login",
       [&] {
         first->Command("G_LOGIN", "nobody secret");
         harness.RunUntil(all(), [&] { return !first->inbox.empty(); });
         harness.Received(all());
       },
       {{R"(gorvane_logins_total{outcome="unknown_login"})", 1},
        {R"(gorvane_database_call_seconds_count{call="login_lookup"})", 1}}},
      {"a finished game",
       [&] {
         first->Command("P_CREATE");
         harness.Received(all());
         clients[1]->Command("P_JOIN", "1");
         clients[1]->Command("P_LIST");
         harness.Received(all());
         first->Command("P_START");
         EXPECT_TRUE(PlayOut(harness, all(), cards));
       },
       {{"gorvane_games_finished_total", 1}, {"gorvane_games_running", 0}, {"gorvane_parties", 1}}},
  };
  std::string last;
  for (const auto& row : rows) {
    const std::string before = MetricsText(harness.server());
    row.act();
    const std::string after = MetricsText(harness.server());
    last = after;
    for (const Move& move : row.moves) {
      const auto was = Sample(before, move.series);
      const auto is = Sample(after, move.series);
      ASSERT_TRUE(was && is) << row.cause << ": no line " << move.series;
      if (move.atLeast) {
        EXPECT_GE(*is - *was, move.by) << row.cause << ": " << move.series;
      } else {
        EXPECT_EQ(*is - *was, move.by) << row.cause << ": " << move.series;
      }
    }
  }
  if (std::system("command -v promtool >/dev/null 2>&1") != 0) GTEST_SKIP() << "promtool is not installed";
  EXPECT_EQ(PromtoolComplaints(last), "");
}

}  // namespace
}  // namespace gorvane::testing
