// Stopping: every user is told goodbye, then the games end without results
// and the database is closed.
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>

#include "server/server.h"
#include "server/server_connection.h"

namespace gorvane::server {

void Server::Run() {
  while (!stopping_.load()) RunOnce(-1);
  Farewell();
}

void Server::Stop() {
  stopping_.store(true);
  const uint64_t one = 1;
  if (wake_ >= 0) {
    [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
  }
}

void Server::Farewell() {
  farewell_ = true;
  if (listener_ >= 0) {
    epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_, nullptr);
    ::close(listener_);
    listener_ = -1;
  }
  size_t told = 0;
  for (auto& [key, owned] : connections_) {
    Connection& connection = *owned;
    if (connection.dead || connection.closing) continue;
    if (!connection.joined) {
      Drop(connection, "the server is stopping");
      continue;
    }
    connection.out.Append("S_BYE");
    ++told;
    userKeys_.erase(connection.user);
    StartClosing(connection);
    MarkDirty(connection);
  }
  Log("stopping: goodbye to " + Count(told) + " users; games end without results");
  const TimePoint deadline = SteadyClock::now() + kFarewellTime;
  for (auto& [key, connection] : connections_) connection->closeBy = std::min(connection->closeBy, deadline);
  while (!connections_.empty() && SteadyClock::now() < deadline) RunOnce(50);
  connections_.clear();
  dead_.clear();
  dirty_.clear();
  closing_.clear();
  backlog_.clear();
  lobby_.reset();
  logins_.reset();
  if (accounts_) {
    Log(accounts_->Close() ? "database closed" : "the database did not close cleanly");
    accounts_.reset();
  }
}

}  // namespace gorvane::server
