// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/http/http_side.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "server/http/bounds.h"
#include "server/http/http_server.h"
#include "server/http/status_page.h"
#include "server/store/accounts.h"

namespace gorvane::server {
namespace {

using namespace std::chrono_literals;

// What the database says is read at most once a second, by one thread at a
// time on this side's own connection; the others wait for that answer a
// little longer than the database may take, and else take what is known.
class StoreWatch {
 public:
  explicit StoreWatch(std::string where) : where_(std::move(where)) {}

  std::shared_ptr<const Leaderboard> Leaders() {
    if (auto fresh = FreshLeaders()) return fresh;
    std::unique_lock asking(asking_, std::defer_lock);
    if (asking.try_lock_for(kAskingWait)) {
      // Read by another thread while this one waited.
      if (auto fresh = FreshLeaders()) return fresh;
      auto board = std::make_shared<Leaderboard>();
      std::string error;
      if (AccountStore* store = Store(error)) {
        auto prize = store->Leaders(RankBy::kPrize, kLeaders, error);
        auto wins = prize ? store->Leaders(RankBy::kWins, kLeaders, error) : std::nullopt;
        if (prize && wins) *board = {true, std::move(*prize), std::move(*wins)};
      }
      const std::lock_guard lock(state_);
      leaders_ = std::move(board);
      leadersAt_ = SteadyClock::now();
      return leaders_;
    }
    const std::lock_guard lock(state_);
    return leaders_ ? leaders_ : std::make_shared<Leaderboard>();
  }

  // Asks the database whether it answers; from one thread, once a second.
  void Ping() {
    std::unique_lock asking(asking_, std::defer_lock);
    // Busy with the rankings: their answer says as much.
    if (!asking.try_lock_for(kAskingWait)) return;
    std::string error;
    AccountStore* store = Store(error);
    bool fine = store != nullptr && store->Ping(error);
    // The connection reads the file it opened, even once the path names
    // another file or none: the server's results would go where nobody
    // finds them again.
    if (const auto file = FileTrouble(); fine && file) {
      fine = false;
      error = *file;
    }
    const std::lock_guard lock(state_);
    trouble_ = fine ? std::nullopt : std::optional<std::string>(error);
    pingAt_ = SteadyClock::now();
  }

  // Nothing while the database answers; else why it does not. Never waits.
  std::optional<std::string> Trouble() {
    const std::lock_guard lock(state_);
    const auto since = std::chrono::duration_cast<std::chrono::seconds>(SteadyClock::now() - pingAt_);
    if (since >= kStale) return "no answer for " + std::to_string(since.count()) + " s";
    return trouble_;
  }

 private:
  static constexpr auto kFresh = 1s;
  static constexpr auto kAskingWait = kHttpStoreWait + 500ms;
  static constexpr auto kReopen = 5s;
  // Pinged once a second, each ping bounded: an answer older than this
  // means the database, or the way to it, hangs.
  static constexpr auto kStale = 5s;

  static bool Fresh(std::optional<TimePoint> at) { return at && SteadyClock::now() - *at < kFresh; }
  // The rankings read within the last second, if any.
  std::shared_ptr<const Leaderboard> FreshLeaders() {
    const std::lock_guard lock(state_);
    return leaders_ && Fresh(leadersAt_) ? leaders_ : nullptr;
  }

  // The connection, opened on first use and again after a failed open no
  // sooner than kReopen; with asking_ held.
  AccountStore* Store(std::string& error) {
    if (store_) return store_.get();
    const TimePoint now = SteadyClock::now();
    if (now < nextOpen_) {
      error = openError_;
      return nullptr;
    }
    store_ = AccountStore::Open(where_, openError_, kHttpStoreWait);
    if (!store_) {
      nextOpen_ = now + kReopen;
      error = openError_;
    }
    struct stat opened {};
    if (store_ && !IsPostgresUri(where_) && where_ != ":memory:" && ::stat(where_.c_str(), &opened) == 0)
      file_ = {opened.st_dev, opened.st_ino};
    return store_.get();
  }

  // Whether the SQLite file opened is still the one at its path, and ours
  // to read and write; with asking_ held.
  std::optional<std::string> FileTrouble() const {
    if (!file_) return std::nullopt;
    struct stat now {};
    if (::stat(where_.c_str(), &now) != 0) return std::string("file gone: ") + std::strerror(errno);
    if (now.st_dev != file_->first || now.st_ino != file_->second)
      return std::string("file replaced since it was opened");
    if (::access(where_.c_str(), R_OK | W_OK) != 0)
      return std::string("file not readable and writable: ") + std::strerror(errno);
    return std::nullopt;
  }

  const std::string where_;
  std::timed_mutex asking_;
  std::unique_ptr<AccountStore> store_;
  // The SQLite file's device and inode when it was opened.
  std::optional<std::pair<dev_t, ino_t>> file_;
  TimePoint nextOpen_{};
  std::string openError_;
  std::mutex state_;
  std::shared_ptr<const Leaderboard> leaders_;
  std::optional<TimePoint> leadersAt_;
  std::optional<std::string> trouble_;
  TimePoint pingAt_ = SteadyClock::now();
};

}  // namespace

struct HttpSide::Impl {
  explicit Impl(Sources given) : sources(std::move(given)), store(sources.database) {}

  void Route() {
    // Only for the Keep-Alive header the library writes: the bounded server
    // keeps these bounds itself.
    http.set_keep_alive_max_count(kHttpRequestsPerConnection);
    http.set_keep_alive_timeout(std::chrono::duration_cast<std::chrono::seconds>(kHttpIdle).count());
    http.set_payload_max_length(0);
    http.set_default_headers({{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}});
    http.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
      if (request.method == "GET" || request.method == "HEAD")
        return httplib::Server::HandlerResponse::Unhandled;
      response.status = 405;
      response.set_header("Allow", "GET, HEAD");
      response.set_content("only GET here\n", "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    });
    http.set_error_handler([](const httplib::Request&, httplib::Response& response) {
      if (response.body.empty())
        response.set_content(std::to_string(response.status) + "\n", "text/plain; charset=utf-8");
    });
    http.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content(sources.metrics(), "text/plain; version=0.0.4; charset=utf-8");
    });
    // Answered at the door; here when asked again on a kept-alive connection.
    http.Get("/healthz", [this](const httplib::Request&, httplib::Response& response) {
      const BoundedHttpServer::Health health = Health();
      response.status = health.status;
      response.set_content(health.text, "text/plain; charset=utf-8");
    });
    http.Get("/", [this](const httplib::Request&, httplib::Response& response) {
      std::shared_ptr<const LobbySnapshot> lobby;
      {
        const std::lock_guard lock(snapshotMutex);
        lobby = snapshot;
      }
      const LobbySnapshot empty;
      response.set_header("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'");
      response.set_content(StatusPage(lobby ? *lobby : empty, *store.Leaders(), sources.playersAddress),
                           "text/html; charset=utf-8");
    });
  }

  BoundedHttpServer::Health Health() {
    const auto since = TimePoint(Duration(beat.load(std::memory_order_relaxed)));
    const auto still = std::chrono::duration_cast<std::chrono::seconds>(SteadyClock::now() - since);
    std::string trouble;
    if (still >= kLoopStuckAfter)
      trouble += "game loop: stuck, no turn for " + std::to_string(still.count()) + " s\n";
    // Why is for the host's log, not for whoever asks: the error names the
    // database's host or socket.
    if (store.Trouble()) trouble += "database: unreachable\n";
    if (trouble.empty()) return {200, "ok\n"};
    return {503, trouble};
  }

  // Health is answered at once from what the last ping found.
  void PingEachSecond() {
    std::unique_lock lock(pingMutex);
    while (!pingStop.wait_for(lock, 1s, [&] { return pingStopping; })) {
      lock.unlock();
      store.Ping();
      lock.lock();
    }
  }

  Sources sources;
  StoreWatch store;
  BoundedHttpServer http{[this] { return Health(); }, sources.defended, sources.ipv6Prefix};
  uint16_t port = 0;
  std::atomic<Duration::rep> beat{SteadyClock::now().time_since_epoch().count()};
  std::mutex snapshotMutex;
  std::shared_ptr<const LobbySnapshot> snapshot;
  std::thread acceptor;
  std::thread pinger;
  std::mutex pingMutex;
  std::condition_variable pingStop;
  bool pingStopping = false;
};

std::unique_ptr<HttpSide> HttpSide::Start(const HttpEndpoint& where, Sources sources, std::string& error) {
  auto impl = std::make_unique<Impl>(std::move(sources));
  impl->Route();
  const int port = impl->http.Bind(where.address, where.port);
  if (port <= 0) {
    // The library keeps no reason of its own; bind's is the last one set.
    error = "cannot listen for HTTP on " + where.address + " port " + std::to_string(where.port) + ": " +
            std::strerror(errno);
    return nullptr;
  }
  impl->port = static_cast<uint16_t>(port);
  // Health is told from the start.
  impl->store.Ping();
  Impl& side = *impl;
  impl->pinger = std::thread([&side] { side.PingEachSecond(); });
  impl->acceptor = std::thread([&side] { side.http.Serve(); });
  return std::make_unique<HttpSide>(std::move(impl));
}

HttpSide::HttpSide(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

HttpSide::~HttpSide() {
  impl_->http.Stop();
  impl_->acceptor.join();
  {
    const std::lock_guard lock(impl_->pingMutex);
    impl_->pingStopping = true;
  }
  impl_->pingStop.notify_all();
  impl_->pinger.join();
}

uint16_t HttpSide::port() const { return impl_->port; }

void HttpSide::Beat(TimePoint now) {
  impl_->beat.store(now.time_since_epoch().count(), std::memory_order_relaxed);
}

void HttpSide::Publish(std::shared_ptr<const LobbySnapshot> snapshot) {
  const std::lock_guard lock(impl_->snapshotMutex);
  impl_->snapshot = std::move(snapshot);
}

}  // namespace gorvane::server
