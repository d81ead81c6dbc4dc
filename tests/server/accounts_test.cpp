// SPDX-License-Identifier: GPL-3.0-or-later
// Accounts: gorvane-server --add-user stores a salted hash of the password it
// reads, logins are answered with the two refusal codes, and statistics
// outlive the connection only for accounts.
#include "server/store/accounts.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "server/loop/options.h"
#include "spine/codec.h"
#include "spine/ports.h"
#include "support/server/loopback.h"

namespace gorvane::testing {
namespace {

using Strings = std::vector<std::string>;

// A database file of its own, removed afterwards.
struct TempDatabase {
  TempDatabase()
      : path(std::filesystem::temp_directory_path() /
             ("gorvane-accounts-" + std::to_string(getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".db")) {
    std::filesystem::remove(path);
  }
  ~TempDatabase() { std::filesystem::remove(path); }
  std::filesystem::path path;
};

// gorvane-server --add-user with the text on its standard input; the exit
// status.
int AddUser(const TempDatabase& db, const std::string& login, const std::string& input) {
  const std::string command = std::string(GORVANE_SERVER_BINARY) + " --db '" + db.path.string() +
                              "' --add-user '" + login + "' 2>/dev/null";
  // A refused login makes the server exit before it reads its input; the
  // write into the closed pipe must then fail, not kill the test.
  std::signal(SIGPIPE, SIG_IGN);
  FILE* pipe = popen(command.c_str(), "w");
  if (!pipe) return -1;
  std::fputs(input.c_str(), pipe);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Row {
  std::string salt, hash;
  int iterations = 0;
};

std::map<std::string, Row> ReadRows(const TempDatabase& db) {
  sqlite3* raw = nullptr;
  sqlite3_open(db.path.c_str(), &raw);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> handle(raw, sqlite3_close);
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(raw, "SELECT login, salt, hash, iterations FROM accounts", -1, &statement, nullptr);
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owned(statement, sqlite3_finalize);
  auto bytes = [&](int column) {
    return std::string(static_cast<const char*>(sqlite3_column_blob(statement, column)),
                       static_cast<size_t>(sqlite3_column_bytes(statement, column)));
  };
  std::map<std::string, Row> rows;
  while (statement && sqlite3_step(statement) == SQLITE_ROW) {
    rows[bytes(0)] = Row{bytes(1), bytes(2), sqlite3_column_int(statement, 3)};
  }
  return rows;
}

TEST(Accounts, AddUserKeepsOnlyASaltedHashOfThePasswordFromStandardInput) {
  TempDatabase db;
  const std::string password = "open sesame";
  EXPECT_EQ(AddUser(db, "alice", password + "\n"), 0);
  EXPECT_EQ(AddUser(db, "bob", password + "\r\n"), 0);
  EXPECT_EQ(AddUser(db, "two words", "pw\n"), 2);
  EXPECT_EQ(AddUser(db, "carol", ""), 2) << "no password";
  const auto rows = ReadRows(db);
  ASSERT_EQ(rows.size(), 2u);
  for (const auto& [login, row] : rows) {
    EXPECT_TRUE(row.salt.starts_with("$argon2id$v=19$m=19456,t=2,p=1$")) << login;
    EXPECT_FALSE(row.hash.empty()) << login;
    EXPECT_EQ(row.hash, server::HashPassword(password, row.salt, row.iterations)) << login;
  }
  EXPECT_NE(rows.at("alice").salt, rows.at("bob").salt);
  EXPECT_NE(rows.at("alice").hash, rows.at("bob").hash);
  std::ifstream file(db.path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes.find("sesame"), std::string::npos);
}

TEST(Accounts, LoginCodesAndStatisticsThatOutliveTheConnection) {
  TempDatabase db;
  {
    std::string error;
    const auto store = server::AccountStore::Open(db.path.string(), error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->SetPassword("alice", "open sesame", error)) << error;
  }
  Harness harness("127.0.0.20", db.path.string());
  CardCatalogue cards;
  LoadCards(cards);
  auto a = harness.Connect("Al");
  const struct {
    const char* argument;
    const char* answer;
  } logins[] = {{"nobody open sesame", "S_ELOGIN,14"},
                {"alice open", "S_ELOGIN,15"},
                {"alice", "S_ELOGIN,15"},
                {"alice open sesame", "S_LOGIN"}};
  for (const auto& login : logins) {
    a->Command("G_LOGIN", login.argument);
    EXPECT_EQ(harness.Received({a.get()})[0], Strings{login.answer}) << login.argument;
  }

  // A logged-in player and a guest play a game of two to the end.
  auto g = harness.Connect("Guest");
  harness.Received({a.get()});
  a->Command("P_CREATE");
  harness.Received({a.get(), g.get()});
  g->Command("P_JOIN", "1");
  g->Command("P_LIST");
  harness.Received({a.get(), g.get()});
  a->Command("P_START");
  const auto heard = PlayOut(harness, {a.get(), g.get()}, cards);
  ASSERT_TRUE(heard);
  const Fields result = SplitCommaText(heard->at(a->id).back());
  std::map<int32_t, std::string> amounts;
  for (size_t i = 1; i < result.size(); ++i) {
    const Fields item = SplitDelimitedText(result[i], ':');
    amounts[std::stoi(item.at(0))] = item.at(1);
  }
  auto info = [&](RawClient& asker, int32_t id) {
    harness.Received({&asker});
    asker.Command("G_INFO", std::to_string(id));
    const Strings got = harness.Received({&asker})[0];
    EXPECT_EQ(got.size(), 1u);
    return got.empty() ? Fields(6) : SplitCommaText(got.front());
  };
  const Fields ofAlice = info(*g, a->id);
  const Fields ofGuest = info(*a, g->id);
  EXPECT_EQ(ofAlice.at(3), "alice");
  EXPECT_EQ(ofAlice.at(4), amounts.at(a->id));
  EXPECT_EQ(ofGuest.at(3), "guest");
  EXPECT_EQ(ofGuest.at(4), amounts.at(g->id));
  const int alices = std::stoi(amounts.at(a->id));
  EXPECT_EQ(ofAlice.at(5), alices > 0 && alices >= std::stoi(amounts.at(g->id)) ? "1" : "0");

  // Back as new connections: the account keeps its total, the guest starts
  // again.
  a->Command("G_BYE");
  g->Command("G_BYE");
  harness.Settle({a.get(), g.get()});
  auto again = harness.Connect("Al");
  auto guest = harness.Connect("Guest");
  EXPECT_EQ(info(*again, guest->id).at(4), "0");
  EXPECT_EQ(info(*again, again->id).at(4), "0") << "not logged in yet";
  again->Command("G_LOGIN", "alice open sesame");
  harness.Received({again.get()});
  EXPECT_EQ(info(*again, again->id).at(4), amounts.at(a->id));
}

// An unknown login is hashed as hard as a known one, with a salt as long:
// how long the answer takes must not tell which logins exist.
TEST(Accounts, AnUnknownLoginCostsAsMuchHashingAsAWrongPassword) {
  std::string error;
  const auto store = server::AccountStore::Open(":memory:", error);
  ASSERT_TRUE(store && store->SetPassword("alice", "open sesame", error)) << error;
  bool failed = false;
  const server::Credentials alice = store->Find("alice", failed).value();
  std::mutex mutex;
  std::vector<std::pair<size_t, int>> work;  // salt bytes and iterations of each hash
  server::LoginDesk desk(*store, {}, [&](std::string_view, std::string_view salt, int iterations) {
    const std::lock_guard lock(mutex);
    work.emplace_back(salt.size(), iterations);
    return std::string("no match");
  });
  const struct {
    const char* login;
    server::LoginOutcome outcome;
  } cases[] = {{"alice", server::LoginOutcome::kWrongPassword}, {"mallory", server::LoginOutcome::kUnknown}};
  uint64_t ticket = 0;
  for (const auto& c : cases) {
    ASSERT_FALSE(desk.Begin(++ticket, "10.0.0.1", c.login, "guess", server::SteadyClock::now())) << c.login;
    std::vector<server::LoginDesk::Answer> answers;
    for (int i = 0; i < 200 && answers.empty(); ++i) {
      pollfd ready{desk.fd(), POLLIN, 0};
      ::poll(&ready, 1, 10);
      answers = desk.Collect(server::SteadyClock::now());
    }
    ASSERT_EQ(answers.size(), 1u) << c.login;
    EXPECT_EQ(answers[0].outcome, c.outcome) << c.login;
    const std::lock_guard lock(mutex);
    EXPECT_EQ(work.back(), std::make_pair(alice.salt.size(), alice.iterations)) << c.login;
  }
}

// A deck of fighters alone: nobody finds a corridor, nobody gets out, every
// amount is 0 and nobody has won.
TEST(Accounts, AGameNobodyGetsOutOfGivesNobodyAWin) {
  TempDatabase db;
  {
    std::string error;
    const auto store = server::AccountStore::Open(db.path.string(), error);
    ASSERT_TRUE(store && store->SetPassword("alice", "pw", error)) << error;
  }
  const std::filesystem::path deck = db.path.string() + ".cards";
  {
    std::ofstream file(deck, std::ios::binary);
    for (int card = 1; card <= 30; ++card) file << "f" << card << " F fighter 0 1 0\r\n";
  }
  Harness harness("127.0.0.28", db.path.string(),
                  [&](server::ServerOptions& options) { options.cardsPath = deck.string(); });
  auto a = harness.Connect("Al");
  auto g = harness.Connect("Guest");
  a->Command("G_LOGIN", "alice pw");
  harness.Received({a.get(), g.get()});
  a->Command("P_CREATE");
  harness.Received({a.get(), g.get()});
  g->Command("P_JOIN", "1");
  g->Command("P_LIST");
  harness.Received({a.get(), g.get()});
  a->Command("P_START");
  CardCatalogue cards;
  struct Quiet : ErrorBox, DebugLog {
    void ShowError(std::string_view) override {}
    void AppendLine(std::string_view) override {}
  } quiet;
  cards.LoadCardList(deck.string(), quiet, quiet);
  const auto heard = PlayOut(harness, {a.get(), g.get()}, cards);
  ASSERT_TRUE(heard);
  EXPECT_EQ(heard->at(a->id).back(),
            "S_RESULT," + std::to_string(a->id) + ":0," + std::to_string(g->id) + ":0");
  for (RawClient* asker : {a.get(), g.get()}) {
    for (RawClient* about : {a.get(), g.get()}) {
      asker->Command("G_INFO", std::to_string(about->id));
      const Strings got = harness.Received({asker})[0];
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(SplitCommaText(got[0]).at(5), "0") << "no win for " << about->id;
    }
  }
  std::filesystem::remove(deck);
}

TEST(Accounts, CommandLine) {
  struct Case {
    std::vector<std::string> arguments;
    bool ok;
  } const cases[] = {
      {{}, true},
      {{"--listen", "127.0.0.9", "--port", "0", "--db", "x.db", "--cards", "c.txt", "--max-users", "5",
        "--seed", "4294967295"},
       true},
      {{"--add-user", "alice"}, true},
      {{"--port", "65536"}, false},
      {{"--port", "-1"}, false},
      {{"--max-users", "0"}, false},
      {{"--seed", "4294967296"}, false},
      {{"--seed"}, false},
      {{"--verbose", "1"}, false},
      {{"stray"}, false},
      {{"--listen", "::1", "--turn-seconds", "0", "--max-per-address", "2", "--chat-lines", "3",
        "--chat-bytes", "99", "--lobby-broadcasts", "4", "--max-unjoined", "7"},
       true},
      {{"--listen", "[::]"}, true},
      {{"--listen", "example.org"}, false},
      {{"--turn-seconds", "86401"}, false},
      {{"--chat-lines", "0"}, false},
      {{"--http", "8080"}, true},
      {{"--http", "0.0.0.0:8080"}, true},
      {{"--http", "[::1]:8080"}, true},
      {{"--http", "::1:8080"}, false},
      {{"--http", "localhost:8080"}, false},
      {{"--http", "127.0.0.1:70000"}, false},
      {{"--http", "[::1]"}, false},
      {{"--public-address", "play.example.org"}, true},
      {{"--public-address", "play.example.org:4000"}, true},
      {{"--public-address", "[2001:db8::1]:4000"}, true},
      {{"--public-address", "2001:db8::1"}, true},
      {{"--public-address", "play.example.org:0"}, false},
      {{"--public-address", "play.example.org:70000"}, false},
      {{"--public-address", "<b>x</b>"}, false},
      {{"--public-address", "a b"}, false},
      {{"--public-address", "[2001:db8::1]x"}, false},
      {{"--public-address", ""}, false},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto line = server::ParseCommandLine(c.arguments, error);
    EXPECT_EQ(line.has_value(), c.ok) << (c.arguments.empty() ? "" : c.arguments.front()) << " " << error;
    EXPECT_EQ(error.empty(), c.ok);
  }
  std::string error;
  const auto line = server::ParseCommandLine({"--port", "2", "--max-users", "5", "--seed", "9"}, error);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->server.port, 2);
  EXPECT_EQ(line->server.maxUsers, 5u);
  EXPECT_EQ(line->server.seed, 9u);
  EXPECT_TRUE(line->seedGiven);
  const server::ServerOptions defaults;
  EXPECT_EQ(line->server.listenAddress, defaults.listenAddress) << "what is not given stands";
  EXPECT_EQ(line->server.turnTime, defaults.turnTime);
  EXPECT_EQ(line->server.chat.bytes, defaults.chat.bytes);
  const auto limits = server::ParseCommandLine({"--turn-seconds", "0", "--chat-bytes", "99"}, error);
  ASSERT_TRUE(limits);
  EXPECT_EQ(limits->server.turnTime, std::chrono::seconds(0));
  EXPECT_EQ(limits->server.chat.bytes, 99u);
  // A port alone serves this machine only.
  const auto http = server::ParseCommandLine({"--http", "9100"}, error);
  ASSERT_TRUE(http && http->server.http);
  EXPECT_EQ(http->server.http->address, "127.0.0.1");
  EXPECT_EQ(http->server.http->port, 9100);
  EXPECT_FALSE(line->server.http) << "off unless asked for";
}

// The moderators' options and --registration: what each line parses to.
TEST(Accounts, ModeratorAuditAndRegistrationOptions) {
  const struct {
    Strings arguments;
    bool ok;
    bool asModerator;
    std::optional<std::string> on, off;
    std::optional<size_t> audit;
    bool open;
  } cases[] = {
      {{"--add-user", "a", "--moderator", "--db", "x.db"}, true, true, {}, {}, {}, false},
      {{"--moderator", "bob"}, true, false, "bob", {}, {}, false},
      {{"--moderator"}, false, false, {}, {}, {}, false},
      {{"--add-user", "a", "--moderator", "b"}, false, false, {}, {}, {}, false},
      {{"--moderator", "a", "--no-moderator", "b"}, false, false, {}, {}, {}, false},
      {{"--audit", "--db", "x.db"}, true, false, {}, {}, 20, false},
      {{"--audit", "5"}, true, false, {}, {}, 5, false},
      {{"--audit", "0"}, false, false, {}, {}, {}, false},
      {{"--registration", "open"}, true, false, {}, {}, {}, true},
      {{"--registration", "yes"}, false, false, {}, {}, {}, false},
  };
  for (const auto& c : cases) {
    std::string trace;
    for (const std::string& argument : c.arguments) trace += argument + " ";
    SCOPED_TRACE(trace);
    std::string error;
    const auto line = server::ParseCommandLine(c.arguments, error);
    ASSERT_EQ(line.has_value(), c.ok) << error;
    if (!line) {
      EXPECT_EQ(error.find('\n'), std::string::npos);
      continue;
    }
    EXPECT_EQ(line->asModerator, c.asModerator);
    EXPECT_EQ(line->moderatorOn, c.on);
    EXPECT_EQ(line->moderatorOff, c.off);
    EXPECT_EQ(line->audit, c.audit);
    EXPECT_EQ(line->server.registrationOpen, c.open);
  }
}

// gorvane-server run to change moderators and print the audit: each exits
// with its status and says what it did; the audit prints one line an
// action, newest first, in UTF-8.
TEST(Accounts, ModeratorsAndTheAuditFromTheCommandLine) {
  const TempDatabase db;
  const std::filesystem::path out = db.path.string() + ".out";
  const std::filesystem::path err = db.path.string() + ".err";
  const auto run = [&](const std::string& arguments, const std::string& input, std::string& output,
                       std::string& error) {
    const std::string command = "printf '" + input + "' | " + GORVANE_SERVER_BINARY + " --db '" +
                                db.path.string() + "' " + arguments + " >'" + out.string() + "' 2>'" +
                                err.string() + "'";
    const int status = std::system(command.c_str());
    const auto slurp = [](const std::filesystem::path& path) {
      std::ifstream file(path);
      return std::string(std::istreambuf_iterator<char>(file), {});
    };
    output = slurp(out);
    error = slurp(err);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  const auto moderates = [&](const std::string& login) -> std::optional<bool> {
    std::string error;
    const auto store = server::AccountStore::Open(db.path.string(), error);
    bool failed = false;
    const auto found = store ? store->Find(login, failed) : std::nullopt;
    if (!found) return std::nullopt;
    return found->moderator;
  };
  const struct {
    std::string arguments;
    std::string input;
    int exit;
    std::string output;       // all of standard output
    std::string said;         // a part of standard error
    std::optional<bool> mod;  // whether "mod" moderates afterwards
  } cases[] = {
      {"--add-user mod --moderator", "pw\\n", 0, "", "a moderator's", true},
      {"--audit", "", 0, "", "", true},
      {"--moderator ghost", "", 1, "", "no account ghost", true},
      {"--no-moderator mod", "", 0, "", "moderates no more", false},
      {"--moderator mod", "", 0, "", "may moderate", true},
      {"--add-user plain", "pw\\n", 0, "", "stored", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    std::string output;
    std::string error;
    EXPECT_EQ(run(c.arguments, c.input, output, error), c.exit) << error;
    EXPECT_EQ(output, c.output);
    EXPECT_NE(error.find(c.said), std::string::npos) << error;
    EXPECT_EQ(moderates("mod"), c.mod);
  }
  EXPECT_EQ(moderates("plain"), std::optional<bool>(false));
  {
    std::string error;
    const auto store = server::AccountStore::Open(db.path.string(), error);
    ASSERT_TRUE(store) << error;
    // 2026-12-10 12:00:00 UTC, then three days on with a reason in code
    // page 932 (あ).
    ASSERT_TRUE(store->AddAudit({1796904000, "mod", "kick", "bob", "spam"}, error)) << error;
    ASSERT_TRUE(store->AddAudit({1796904000 + 86400 * 3, "mod", "ban", "10.0.0.1", "\x82\xA0"}, error))
        << error;
  }
  std::string output;
  std::string error;
  EXPECT_EQ(run("--audit 1", "", output, error), 0) << error;
  EXPECT_EQ(output, "2026-12-13 12:00:00 UTC  mod  ban  10.0.0.1  \xE3\x81\x82\n");
  EXPECT_EQ(run("--audit", "", output, error), 0) << error;
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 2) << output;
  // The host lifts a ban of an address (typed as a peer would be keyed) and
  // the lift is audited; a second lift finds nothing.
  {
    std::string error;
    const auto store = server::AccountStore::Open(db.path.string(), error);
    ASSERT_TRUE(store) << error;
    server::Ban ban;
    ban.address = "2001:db8:1:2::/64";
    ban.madeAt = server::SystemSeconds();
    ASSERT_TRUE(store->AddBan(ban, error)) << error;
  }
  for (const auto& [lifted, said] : {std::pair{1, "1 ban on"}, std::pair{0, "0 bans on"}}) {
    EXPECT_EQ(run("--unban 2001:db8:1:2:abcd::1", "", output, error), 0) << error;
    EXPECT_NE(error.find(said), std::string::npos) << error;
    EXPECT_EQ(run("--audit 1", "", output, error), 0) << error;
    EXPECT_NE(output.find("(host)  unban  2001:db8:1:2::/64"), std::string::npos) << lifted << output;
  }
  std::filesystem::remove(out);
  std::filesystem::remove(err);
}

}  // namespace
}  // namespace gorvane::testing
