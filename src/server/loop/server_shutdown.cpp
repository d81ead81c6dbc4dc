// SPDX-License-Identifier: GPL-3.0-or-later
// Stopping: every user is told goodbye, then the games end without results,
// the results owed are written while the goodbye lasts (or else logged, one
// line each, for the host to add) and the database is closed.
#include <sys/epoll.h>
#include <unistd.h>

#include "server/loop/server.h"
#include "server/store/off_loop.h"
#include "server/store/result_lines.h"

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
  table_.ForEach([&](Connection& connection) {
    if (connection.dead || connection.closing) return;
    if (!connection.joined) {
      table_.Drop(connection, "the server is stopping");
      return;
    }
    metrics_.Sent("S_BYE");
    connection.out.Append("S_BYE");
    ++told;
    table_.ReleaseUser(connection.user);
    StartClosing(connection);
    table_.MarkDirty(connection);
  });
  Log("stopping: goodbye to " + Count(told) + " users; games end without results");
  const TimePoint deadline = SteadyClock::now() + kFarewellTime;
  if (accounts_ && lobby_->resultsOwed() > 0) accounts_->RetryNow();
  table_.CloseAllBy(deadline);
  while ((!table_.empty() || lobby_->resultsOwed() > 0) && SteadyClock::now() < deadline) {
    RunOnce(50);
    lobby_->PumpResults(SteadyClock::now());
  }
  // A database that does not answer holds no worker past the goodbye:
  // what is under way gives up, and what is not stored yet is logged below.
  if (accounts_) accounts_->Abandon();
  // The worker finishes what it was asked (a write under way among it)
  // before the accounts it uses go.
  offLoop_.reset();
  const std::vector<OwedResult> unwritten = lobby_->UnwrittenResults();
  if (!unwritten.empty()) {
    Log(Count(unwritten.size()) + " game results could not be stored; add them by hand:");
    for (const OwedResult& result : unwritten) {
      // The id lets a replay (--replay-results) add each result once, even
      // one whose write the database took after all.
      Log(ResultLine(result));
    }
  }
  table_.Clear();
  metrics_.Connections(table_.size(), admission_.unjoined());
  lobby_.reset();
  logins_.reset();
  timedAccounts_.reset();
  if (accounts_) {
    Log(accounts_->Close() ? "database closed" : "the database did not close cleanly");
    accounts_.reset();
  }
  http_.reset();
}

}  // namespace gorvane::server
