// SPDX-License-Identifier: GPL-3.0-or-later
// The HTTP side of a running server: health that follows the loop, the
// requests it refuses, its bound on connections, and the status page as a
// real browser shows it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

#include "server/base/limits.h"
#include "server/http/bounds.h"
#include "server/http/request_stream.h"
#include "server/http/status_page.h"
#include "server/store/accounts.h"
#include "spine/sjis.h"
#include "support/server/loopback.h"

namespace gorvane::testing {
namespace {

using namespace std::chrono_literals;

const std::string kHero = "\x97\x45\x8E\xD2";  // 勇者 in code page 932

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

// A server with its HTTP side on the test's own loopback address, its
// accounts in a file of their own; Run() hands its loop a thread.
class HttpServer {
 public:
  explicit HttpServer(const std::string& address,
                      const std::function<void(server::AccountStore&)>& accounts = {},
                      const std::string& publicAddress = {})
      : address_(address),
        database_(std::filesystem::temp_directory_path() /
                  ("gorvane-http-" + std::to_string(::getpid()) + "-" + address + ".db")) {
    std::filesystem::remove(database_);
    std::string error;
    if (auto store = server::AccountStore::Open(database_.string(), error); store && accounts)
      accounts(*store);
    harness_ = std::make_unique<Harness>(address, database_.string(), [&](server::ServerOptions& options) {
      options.http = server::HttpEndpoint{address, 0};
      options.publicAddress = publicAddress;
    });
  }
  ~HttpServer() {
    if (loop_.joinable()) {
      harness_->server().Stop();
      loop_.join();
    }
    harness_.reset();
    std::filesystem::remove(database_);
  }

  Harness& harness() { return *harness_; }
  const std::filesystem::path& database() const { return database_; }
  void Run() {
    loop_ = std::thread([this] { harness_->server().Run(); });
  }
  httplib::Result Request(const std::string& method, const std::string& path,
                          const httplib::Headers& headers = {}) {
    httplib::Client client(address_, harness_->server().httpPort());
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(5, 0);
    if (method == "POST")
      return client.Post(path.c_str(), headers, "x=1", "application/x-www-form-urlencoded");
    if (method == "PUT") return client.Put(path.c_str(), headers, "x=1", "text/plain");
    return client.Get(path.c_str(), headers);
  }
  std::string url() const {
    return "http://" + address_ + ":" + std::to_string(harness_->server().httpPort()) + "/";
  }

 private:
  std::string address_;
  std::filesystem::path database_;
  std::unique_ptr<Harness> harness_;
  std::thread loop_;
};

// /healthz turns 503 while the loop is held, the page is still served
// meanwhile, and 200 comes back once the loop turns again.
TEST(HttpSide, HealthFollowsTheLoop) {
  HttpServer server("127.0.0.211");
  server.Run();
  const auto health = [&](int status, std::string_view says) {
    const auto result = server.Request("GET", "/healthz");
    return result && result->status == status && result->body.find(says) != std::string::npos;
  };
  EXPECT_TRUE(health(200, "ok"));
  std::function<void()> release = server.harness().server().HoldLoopForTest();
  EXPECT_TRUE(Eventually([&] { return health(503, "game loop: stuck"); }, 8s));
  const auto page = server.Request("GET", "/");
  EXPECT_TRUE(page && page->status == 200);
  release();
  EXPECT_TRUE(Eventually([&] { return health(200, "ok"); }, 5s));
}

// /healthz keeps asking the database: a file taken from under the running
// server turns it 503 within a few pings, while one left alone stays 200.
TEST(HttpSide, HealthFollowsTheDatabaseFile) {
  const struct {
    const char* what;
    const char* address;
    std::function<void(const std::filesystem::path&)> spoil;
    int status;
  } rows[] = {
      {"left alone", "127.0.0.224", [](const auto&) {}, 200},
      {"removed", "127.0.0.225", [](const auto& file) { std::filesystem::remove(file); }, 503},
      {"emptied", "127.0.0.226", [](const auto& file) { std::filesystem::resize_file(file, 0); }, 503},
      {"replaced by another file", "127.0.0.227",
       [](const auto& file) {
         const auto other = file.string() + ".other";
         std::FILE* made = std::fopen(other.c_str(), "w");
         ASSERT_NE(made, nullptr);
         std::fclose(made);
         std::filesystem::rename(other, file);
       },
       503},
  };
  for (const auto& row : rows) {
    HttpServer server(row.address);
    server.Run();
    const auto health = [&] { return server.Request("GET", "/healthz"); };
    ASSERT_TRUE(Eventually([&] { return health() && health()->status == 200; }, 3s)) << row.what;
    row.spoil(server.database());
    // Pinged once a second: within three, not by the five that say the
    // pings stopped.
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    httplib::Result said = health();
    while ((!said || said->status != row.status) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(100ms);
      said = health();
    }
    if (row.status == 200) {
      // Long enough for a false alarm to have been raised.
      std::this_thread::sleep_for(2500ms);
      said = health();
    }
    ASSERT_TRUE(said) << row.what;
    EXPECT_EQ(said->status, row.status) << row.what << ": " << said->body;
    if (row.status != 200) {
      EXPECT_NE(said->body.find("database: "), std::string::npos) << said->body;
    }
  }
}

TEST(HttpSide, RequestsServedAndRefused) {
  HttpServer server("127.0.0.212");
  server.Run();
  // Each header short enough for the library, all of them too many.
  httplib::Headers padding;
  for (int i = 0; i < 300; ++i) padding.emplace("X-Pad-" + std::to_string(i), std::string(80, 'a'));
  const struct {
    const char* what;
    std::string method;
    std::string path;
    httplib::Headers headers;
    int status;
    std::string type;
  } cases[] = {
      {"the status page", "GET", "/", {}, 200, "text/html; charset=utf-8"},
      {"the metrics", "GET", "/metrics", {}, 200, "text/plain; version=0.0.4; charset=utf-8"},
      {"a POST", "POST", "/", {}, 405, ""},
      {"a PUT", "PUT", "/metrics", {}, 405, ""},
      {"an unknown path", "GET", "/admin", {}, 404, ""},
      {"headers past the bound", "GET", "/", padding, 400, ""},
      {"a path past the library's bound", "GET", "/" + std::string(9000, 'a'), {}, 414, ""},
  };
  for (const auto& row : cases) {
    const auto result = server.Request(row.method, row.path, row.headers);
    ASSERT_TRUE(result) << row.what << ": " << httplib::to_string(result.error());
    EXPECT_EQ(result->status, row.status) << row.what;
    if (!row.type.empty()) {
      EXPECT_EQ(result->get_header_value("Content-Type"), row.type) << row.what;
    }
  }
}

// Range is not served: every way of asking for parts of a page is answered
// with the whole page, once, as if it had not been asked.
TEST(HttpSide, RangesAreAnsweredWithTheWholePageOnce) {
  HttpServer server("127.0.0.223");
  server.Run();
  std::string thousands = "bytes=0-";
  while (thousands.size() + 3 < 8130) thousands += ",0-";
  const struct {
    const char* what;
    std::string name;
    std::string range;
  } rows[] = {
      {"no range", "", ""},
      {"one range", "Range", "bytes=0-99"},
      {"one range, the name in lower case", "range", "bytes=0-99"},
      {"two ranges", "Range", "bytes=0-9,20-29"},
      {"thousands of ranges", "Range", thousands},
      {"a range that ends before it starts", "Range", "bytes=50-10"},
      {"ranges past the end", "Range", "bytes=99999999-,0-"},
      {"a unit of its own", "Range", "lines=1-2"},
      {"not a range at all", "Range", "bytes=abc"},
      {"a suffix", "Range", "bytes=-100"},
  };
  const auto whole = server.Request("GET", "/");
  ASSERT_TRUE(whole && whole->status == 200);
  for (const auto& row : rows) {
    httplib::Headers headers;
    if (!row.name.empty()) headers.emplace(row.name, row.range);
    const auto result = server.Request("GET", "/", headers);
    ASSERT_TRUE(result) << row.what << ": " << httplib::to_string(result.error());
    EXPECT_EQ(result->status, 200) << row.what;
    EXPECT_EQ(result->body.size(), whole->body.size()) << row.what;
    EXPECT_TRUE(result->body.ends_with("</html>\n")) << row.what;
    EXPECT_FALSE(result->has_header("Content-Range")) << row.what;
  }
}

size_t OpenDescriptors() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// A connection that sends nothing of itself, from the source address when
// one is given; what it has been sent so far.
class Silent {
 public:
  Silent(const std::string& address, uint16_t port, const std::string& source = {})
      : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (!source.empty()) {
      sockaddr_in from{};
      from.sin_family = AF_INET;
      inet_pton(AF_INET, source.c_str(), &from.sin_addr);
      if (::bind(fd_, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
  }
  ~Silent() { ::close(fd_); }
  bool connected() const { return connected_; }
  int fd() const { return fd_; }
  bool Say(std::string_view bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // All the server says until it closes, or until the limit.
  const std::string& HeardAll(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    for (;;) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd watched{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&watched, 1, static_cast<int>(left.count())) <= 0) break;
      const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      heard_.append(buffer, static_cast<size_t>(got));
    }
    return heard_;
  }
  const std::string& heard() {
    char buffer[512];
    ssize_t got = 0;
    while ((got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
      heard_.append(buffer, static_cast<size_t>(got));
    return heard_;
  }

 private:
  int fd_;
  bool connected_ = false;
  std::string heard_;
};

// An address whose requests never end holds its share of the door: its
// next connection is answered 503 at once, while another address is served
// as usual, the workers untouched; once they go no socket is left behind.
TEST(HttpSide, AnAddressHoldingItsShareOfTheDoorTurnsOnlyItselfAway) {
  HttpServer server("127.0.0.213");
  server.Run();
  ASSERT_TRUE(server.Request("GET", "/healthz"));
  const size_t before = OpenDescriptors();
  const uint16_t port = server.harness().server().httpPort();
  std::vector<std::unique_ptr<Silent>> stuck;
  for (size_t i = 0; i < server::kHttpHeldPerAddress; ++i) {
    stuck.push_back(std::make_unique<Silent>("127.0.0.213", port, "127.0.0.217"));
    ASSERT_TRUE(stuck.back()->connected() && stuck.back()->Say("GET / HTTP/1.1\r\n"));
  }
  std::this_thread::sleep_for(300ms);  // for the door to take them all in
  const struct {
    const char* what;
    const char* from;
    const char* path;
    std::string_view status;
    std::string_view body;
  } cases[] = {
      {"the page for the address past its share", "127.0.0.217", "/", "HTTP/1.1 503", "\r\n\r\nbusy\n"},
      {"the page for another", "127.0.0.218", "/", "HTTP/1.1 200", "</html>"},
      {"health for another", "127.0.0.218", "/healthz", "HTTP/1.1 200", "\r\n\r\nok\n"},
  };
  for (const auto& row : cases) {
    Silent client("127.0.0.213", port, row.from);
    ASSERT_TRUE(client.connected() &&
                client.Say("GET " + std::string(row.path) + " HTTP/1.1\r\nConnection: close\r\n\r\n"))
        << row.what;
    EXPECT_TRUE(Eventually([&] { return client.heard().find(row.body) != std::string::npos; }, 3s))
        << row.what;
    EXPECT_TRUE(client.heard().starts_with(row.status)) << row.what << ": " << client.heard().substr(0, 40);
  }
  for (auto& client : stuck) EXPECT_EQ(client->heard(), "") << "answered before its request ended";
  // The host sees it: one connection turned away at the door.
  const auto metrics = server.Request("GET", "/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_NE(metrics->body.find("gorvane_defences_total{defence=\"http_address_full\"} 1\n"),
            std::string::npos);
  stuck.clear();
  EXPECT_TRUE(Eventually([&] { return OpenDescriptors() <= before; }, 5s))
      << OpenDescriptors() << " descriptors open, " << before << " before";
}

// Twelve addresses whose requests never end, each with its share and more,
// fill the door between them; a thirteenth still has its page, health is
// answered to anybody at once, and the door holds no more than it may.
TEST(HttpSide, AFullDoorIsSharedBetweenAddresses) {
  HttpServer server("127.0.0.228");
  server.Run();
  const uint16_t port = server.harness().server().httpPort();
  std::vector<std::unique_ptr<Silent>> stuck;
  for (size_t a = 0; a < 12; ++a) {
    for (size_t i = 0; i < server::kHttpHeldPerAddress; ++i) {
      stuck.push_back(std::make_unique<Silent>("127.0.0.228", port, "127.0.1." + std::to_string(a + 1)));
      ASSERT_TRUE(stuck.back()->connected() && stuck.back()->Say("GET / HTTP/1.1\r\n")) << a << " " << i;
    }
  }
  std::this_thread::sleep_for(300ms);  // for the door to take them all in
  // Places held, by the client's own count: the connections not closed.
  const auto held = [&] {
    std::map<std::string, size_t> by;
    for (size_t c = 0; c < stuck.size(); ++c) {
      pollfd watched{stuck[c]->fd(), POLLIN, 0};
      by["127.0.1." + std::to_string(c / server::kHttpHeldPerAddress + 1)] += ::poll(&watched, 1, 0) == 0;
    }
    return by;
  };
  const auto total = [&] {
    size_t sum = 0;
    for (const auto& [address, count] : held()) sum += count;
    return sum;
  };
  // One of those holding the most places.
  const auto most = [&] {
    const auto by = held();
    return std::max_element(by.begin(), by.end(),
                            [](const auto& a, const auto& b) { return a.second < b.second; })
        ->first;
  };
  EXPECT_EQ(total(), server::kHttpHeld);
  const struct {
    const char* what;
    std::string from;  // empty: an address holding the most places
    // While the door is full, in this order.
    const char* path;
    std::string_view status;
    std::string_view body;
  } rows[] = {
      {"health for an address holding the most", "", "/healthz", "HTTP/1.1 200", "\r\n\r\nok\n"},
      {"the page for an address holding the most", "", "/", "HTTP/1.1 503", "\r\n\r\nbusy\n"},
      {"the page for a thirteenth address", "127.0.1.13", "/", "HTTP/1.1 200", "</html>"},
      {"health for a thirteenth address", "127.0.1.14", "/healthz", "HTTP/1.1 200", "\r\n\r\nok\n"},
  };
  for (const auto& row : rows) {
    Silent client("127.0.0.228", port, row.from.empty() ? most() : row.from);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.connected() &&
                client.Say("GET " + std::string(row.path) + " HTTP/1.1\r\nConnection: close\r\n\r\n"))
        << row.what;
    EXPECT_TRUE(client.HeardAll(2s).starts_with(row.status))
        << row.what << ": " << client.heard().substr(0, 40);
    EXPECT_NE(client.heard().find(row.body), std::string::npos) << row.what;
    // Well before any place frees itself: the heads still have seconds to come.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << row.what;
  }
  EXPECT_EQ(total(), server::kHttpHeld - 1) << "one place given to the thirteenth address";
}

// An address past its burst is let in at its pace: of requests that all
// come at once, those the pace cannot let in within the hold are answered
// 503, each counted for the host, and none is left unanswered.
TEST(HttpSide, AnAddressPastItsBurstIsLetInAtItsPace) {
  HttpServer server("127.0.0.220");
  server.Run();
  const uint16_t port = server.harness().server().httpPort();
  for (size_t i = 0; i < server::kHttpBurst; ++i) {
    Silent health("127.0.0.220", port, "127.0.0.221");
    ASSERT_TRUE(health.connected() && health.Say("GET /healthz HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(health.HeardAll(3s).starts_with("HTTP/1.1 200")) << i;
  }
  // More at once than a second of pace lets in, fewer than the address may
  // have waiting.
  const size_t count = server::kHttpPerSecond + 10;
  std::vector<std::unique_ptr<Silent>> pages;
  for (size_t i = 0; i < count; ++i) {
    pages.push_back(std::make_unique<Silent>("127.0.0.220", port, "127.0.0.221"));
    ASSERT_TRUE(pages.back()->connected() &&
                pages.back()->Say("GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n"));
  }
  size_t ok = 0;
  size_t busy = 0;
  for (auto& page : pages) {
    const std::string& heard = page->HeardAll(server::kHttpHoldTime + 3s);
    ok += heard.starts_with("HTTP/1.1 200");
    busy += heard.starts_with("HTTP/1.1 503") && heard.ends_with("\r\n\r\nbusy\n");
  }
  EXPECT_GE(ok, 1u);
  EXPECT_GE(busy, 1u);
  EXPECT_EQ(ok + busy, count);
  const auto metrics = server.Request("GET", "/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_NE(
      metrics->body.find("gorvane_defences_total{defence=\"http_busy\"} " + std::to_string(busy) + "\n"),
      std::string::npos);
}

// A kept-alive connection waits at the door between its requests, and
// carries kHttpRequestsPerConnection of them: the last says it closes, and
// nothing after it is answered.
TEST(HttpSide, AKeptAliveConnectionCarriesItsRequestsThenCloses) {
  HttpServer server("127.0.0.216");
  server.Run();
  Silent client("127.0.0.216", server.harness().server().httpPort(), "127.0.0.219");
  ASSERT_TRUE(client.connected());
  size_t answered = 0;
  for (size_t i = 0; i < server::kHttpRequestsPerConnection + 2; ++i) {
    if (!client.Say(i % 2 == 0 ? "GET /metrics HTTP/1.1\r\n\r\n" : "GET / HTTP/1.1\r\n\r\n")) break;
    const auto answers = [&] {
      size_t count = 0;
      for (size_t at = client.heard().find("HTTP/1.1 200 OK"); at != std::string::npos;
           at = client.heard().find("HTTP/1.1 200 OK", at + 1))
        ++count;
      return count;
    };
    if (!Eventually([&] { return answers() > answered; }, 3s)) break;
    answered = answers();
  }
  EXPECT_EQ(answered, server::kHttpRequestsPerConnection);
  const std::string& heard = client.heard();
  const size_t last = heard.rfind("HTTP/1.1 200 OK");
  EXPECT_NE(heard.find("Connection: close", last), std::string::npos) << heard.substr(last, 300);
}

// The server's end of a connection, among this process's descriptors: the
// server runs in the test.
int ServerEnd(int client) {
  sockaddr_in mine{};
  socklen_t length = sizeof mine;
  if (getsockname(client, reinterpret_cast<sockaddr*>(&mine), &length) != 0) return -1;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    sockaddr_in peer{};
    length = sizeof peer;
    if (fd != client && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
        peer.sin_family == AF_INET && peer.sin_port == mine.sin_port &&
        peer.sin_addr.s_addr == mine.sin_addr.s_addr)
      return fd;
  }
  return -1;
}

// The library writes an answer's head and body apart: were the body held
// back until the client acknowledged the head, every answer after the first
// few on a kept-alive connection would wait out the client's delayed
// acknowledgement (40 ms), and hold a worker meanwhile.
TEST(HttpSide, AnswersAreNotHeldForAcknowledgements) {
  HttpServer server("127.0.0.215");
  server.Run();
  Silent client("127.0.0.215", server.harness().server().httpPort());
  ASSERT_TRUE(client.connected());
  const std::string request = "GET /metrics HTTP/1.1\r\nHost: gorvane\r\n\r\n";
  ASSERT_EQ(::send(client.fd(), request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  // Answered, and kept alive for the next request.
  ASSERT_TRUE(Eventually([&] { return client.heard().starts_with("HTTP/1.1 200"); }, 5s));
  const int end = ServerEnd(client.fd());
  ASSERT_GE(end, 0);
  int noDelay = 0;
  socklen_t length = sizeof noDelay;
  ASSERT_EQ(getsockopt(end, IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
  EXPECT_NE(noDelay, 0);
}

// What Chromium's serialised DOM holds for a text: &, < and > escaped.
std::string DomText(std::string_view utf8) {
  std::string out;
  for (const char c : utf8)
    out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
  return out;
}

std::optional<std::string> DumpDom(const std::string& url) {
  const auto profile =
      std::filesystem::temp_directory_path() / ("gorvane-chromium-" + std::to_string(::getpid()));
  const std::string command =
      "timeout 60 chromium --headless --no-sandbox --disable-gpu --no-first-run "
      "--disable-background-networking --disable-component-update --user-data-dir=" +
      profile.string() + " --dump-dom '" + url + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string dom;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) dom.append(buffer, got);
  const int status = pclose(pipe);
  std::filesystem::remove_all(profile);
  if (status != 0) return std::nullopt;
  return dom;
}

// The page reads itself again every few seconds, without a script, and says
// where players connect: what the host gave, else where the game listens.
TEST(HttpSide, StatusPageRefreshesAndShowsWherePlayersConnect) {
  // How the address is formed is PlayersAddress's table below; here, that
  // the server hands the page its own game port.
  HttpServer server("127.0.0.222", {}, "play.example.org");
  server.Run();
  const auto page = server.Request("GET", "/");
  ASSERT_TRUE(page && page->status == 200);
  EXPECT_NE(page->body.find("<meta http-equiv=\"refresh\" content=\"5\">"), std::string::npos);
  const std::string shown = "play.example.org:" + std::to_string(server.harness().server().port());
  EXPECT_NE(page->body.find("接続先: <code>" + shown + "</code>"), std::string::npos)
      << page->body.substr(0, 1200);
}

// The address as the page words it, whichever way it was given.
TEST(HttpSide, ThePlayersAddressTakesTheGamePortWhenItNamesNone) {
  const struct {
    const char* publicAddress;
    const char* listen;
    const char* shown;
  } rows[] = {
      {"", "0.0.0.0", "0.0.0.0:21012"},
      {"", "::1", "[::1]:21012"},
      {"games.example.org", "0.0.0.0", "games.example.org:21012"},
      {"games.example.org:80", "0.0.0.0", "games.example.org:80"},
      {"2001:db8::7", "::", "[2001:db8::7]:21012"},
      {"[2001:db8::7]", "::", "[2001:db8::7]:21012"},
      {"[2001:db8::7]:99", "::", "[2001:db8::7]:99"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(server::PlayersAddress(row.publicAddress, row.listen, 21012), row.shown) << row.publicAddress;
  }
  // Whatever the page is given is shown as text, never as markup.
  const std::string page = server::StatusPage({}, {}, "a<b>&\"c");
  EXPECT_NE(page.find("<code>a&lt;b&gt;&amp;&quot;c</code>"), std::string::npos);
}

// Every text of the page that someone else chose (a name, a login, where
// players connect) shows as text wherever it appears, never as markup.
TEST(HttpSide, StatusPageEscapesEveryTextItShows) {
  const std::string hostile = "<b x=\"1\">&'";
  const std::string shown = "&lt;b x=&quot;1&quot;&gt;&amp;&#39;";
  using Field = std::function<void(server::LobbySnapshot&, server::Leaderboard&, std::string&)>;
  const auto ranked = [](const std::string& login) { return server::Ranked{login, {100, 1}}; };
  const struct {
    const char* what;
    Field put;
  } rows[] = {
      {"a user online", [&](auto& lobby, auto&, auto&) { lobby.names[1] = hostile; }},
      {"a party's leader", [&](auto& lobby, auto&, auto&) { lobby.parties[0].leader = hostile; }},
      {"a player in a game", [&](auto& lobby, auto&, auto&) { lobby.games[0].players[1] = hostile; }},
      {"the player whose turn it is", [&](auto& lobby, auto&, auto&) { lobby.games[0].turn = hostile; }},
      {"a login ranked by prize", [&](auto&, auto& leaders, auto&) { leaders.byPrize[0] = ranked(hostile); }},
      {"a login ranked by wins", [&](auto&, auto& leaders, auto&) { leaders.byWins[0] = ranked(hostile); }},
      {"where players connect", [&](auto&, auto&, auto& players) { players = hostile; }},
  };
  for (const auto& row : rows) {
    server::LobbySnapshot lobby;
    lobby.usersOnline = 3;
    lobby.names = {"ann", "bob", "cy"};
    lobby.partyCount = 1;
    lobby.parties = {{1, "ann", 3, true}};
    lobby.gameCount = 1;
    lobby.games = {{1, {"ann", "bob", "cy"}, "bob", 40}};
    server::Leaderboard leaders{true, {ranked("ann")}, {ranked("bob")}};
    std::string players = "play.example.org:21012";
    row.put(lobby, leaders, players);
    const std::string page = server::StatusPage(lobby, leaders, players);
    EXPECT_EQ(page.find(hostile), std::string::npos) << row.what;
    EXPECT_NE(page.find(shown), std::string::npos) << row.what;
  }
}

// The page at its fullest, every list as long as a snapshot holds and every
// text as long as it may be of the character that escapes longest, is well
// within what one answer may be: half of it.
TEST(HttpSide, TheFullestStatusPageFitsAnAnswer) {
  const std::string name(server::kNameBytes, '&');
  server::LobbySnapshot lobby;
  lobby.usersOnline = lobby.partyCount = lobby.gameCount = 1000;
  lobby.names.assign(server::kStatusRows, name);
  lobby.parties.assign(server::kStatusRows, {999, name, 6, true});
  lobby.games.assign(server::kStatusRows, {999, std::vector<std::string>(6, name), name, 999});
  server::Leaderboard leaders{true, {}, {}};
  leaders.byPrize.assign(server::kLeaders, {name, {999999999, 999999}});
  leaders.byWins = leaders.byPrize;
  const size_t page = server::StatusPage(lobby, leaders, "play.example.org:21012").size();
  EXPECT_LE(2 * page, server::kHttpAnswerBytes) << page << " bytes";
}

// An answer is written whole up to the bound, and no further: past it the
// stream refuses the rest and the connection is done with.
TEST(HttpSide, AnAnswerStopsAtItsBound) {
  const struct {
    const char* what;
    size_t bytes;
    bool whole;
  } rows[] = {
      {"an answer of the bound", server::kHttpAnswerBytes, true},
      {"an answer a byte past it", server::kHttpAnswerBytes + 1, false},
  };
  for (const auto& row : rows) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    size_t read = 0;
    std::thread reader([&] {
      char sink[65536];
      for (ssize_t got = 0; (got = ::recv(ends[1], sink, sizeof sink, 0)) > 0;)
        read += static_cast<size_t>(got);
    });
    const std::atomic<int> listener{ends[1]};  // open: the server is not stopping
    {
      server::RequestStream stream(ends[0], listener);
      const std::string chunk(65536, 'x');
      size_t written = 0;
      bool refused = false;
      while (written < row.bytes && !refused) {
        const size_t n = std::min(chunk.size(), row.bytes - written);
        refused = stream.write(chunk.data(), n) != static_cast<ssize_t>(n);
        if (!refused) written += n;
      }
      EXPECT_EQ(!refused, row.whole) << row.what;
      EXPECT_EQ(stream.spent(), !row.whole) << row.what;
      ::shutdown(ends[0], SHUT_WR);
    }
    reader.join();
    EXPECT_LE(read, server::kHttpAnswerBytes) << row.what;
    ::close(ends[0]);
    ::close(ends[1]);
  }
}

// Users named to break the page show as their names, in UTF-8, and the
// rankings come from the accounts store.
TEST(HttpSide, StatusPageInABrowser) {
  if (std::system("command -v chromium >/dev/null 2>&1") != 0) GTEST_SKIP() << "chromium is not installed";
  HttpServer server("127.0.0.214", [](server::AccountStore& store) {
    std::string error;
    for (const auto& [login, prize, wins] :
         {std::tuple{"alice", 1200, 1}, std::tuple{kHero.c_str(), 900, 3}}) {
      store.SetPassword(login, "pw", error);
      store.AddResult(login, prize, wins, error);
    }
  });
  std::vector<std::unique_ptr<RawClient>> users;
  for (const std::string& name : {std::string("<script>alert(1)</script>"), kHero,
                                  std::string("<img src=x onerror=alert(1)"), std::string("o'brien & co")}) {
    users.push_back(server.harness().Connect(name));
    ASSERT_TRUE(users.back());
  }
  std::vector<std::string> names;  // as the lobby took them
  for (const auto& [id, user] : server.harness().lobby().users()) names.push_back(sjis::ToUtf8(user.name));
  ASSERT_EQ(names.size(), users.size());
  server.Run();
  ASSERT_TRUE(Eventually(
      [&] {
        const auto page = server.Request("GET", "/");
        return page &&
               page->body.find(server::HtmlText(sjis::FromUtf8(names.back()).value())) != std::string::npos;
      },
      5s));

  const auto dom = DumpDom(server.url());
  ASSERT_TRUE(dom) << "chromium failed";
  for (const std::string& name : names) EXPECT_NE(dom->find(DomText(name)), std::string::npos) << name;
  EXPECT_NE(dom->find("<li>勇者</li>"), std::string::npos);
  EXPECT_EQ(dom->find("<script"), std::string::npos);
  EXPECT_EQ(dom->find("<img"), std::string::npos);
  const size_t byPrize = dom->find("獲得賞金</h3>");
  const size_t byWins = dom->find("勝利数</h3>");
  ASSERT_TRUE(byPrize != std::string::npos && byWins != std::string::npos);
  const std::string prizeBoard = dom->substr(byPrize, byWins - byPrize);
  const std::string winsBoard = dom->substr(byWins);
  EXPECT_LT(prizeBoard.find("alice"), prizeBoard.find("勇者")) << prizeBoard;
  EXPECT_LT(winsBoard.find("勇者"), winsBoard.find("alice")) << winsBoard;
  EXPECT_NE(prizeBoard.find("1,200"), std::string::npos);
}

}  // namespace
}  // namespace gorvane::testing
