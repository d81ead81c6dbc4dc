// SPDX-License-Identifier: GPL-3.0-or-later
// What the loop does for the HTTP side: a heartbeat every turn and a
// snapshot of the lobby at most once a second, both handed over without
// waiting; the rest is the HTTP side's own threads' work.
#include <future>

#include "server/off_loop.h"
#include "server/server.h"
#include "server/status_snapshot.h"

namespace gorvane::server {

bool Server::StartHttp(std::string& error) {
  if (!options_.http) return true;
  http_ = HttpSide::Start(*options_.http,
                          {[this] { return metrics_.Exposition(); }, options_.databasePath,
                           // The counters are atomic: any thread may count.
                           [this](Defence defence) { metrics_.Defended(defence); }, options_.ipv6Prefix},
                          error);
  if (!http_) return false;
  const std::string& address = options_.http->address;
  const std::string host = address.find(':') == std::string::npos ? address : "[" + address + "]";
  Log("status page, /metrics and /healthz on http://" + host + ":" + std::to_string(http_->port()) + "/");
  return true;
}

void Server::InformHttp(TimePoint now) {
  http_->Beat(now);
  if (farewell_ || (statusPublished_ && now - *statusPublished_ < std::chrono::seconds(1))) return;
  statusPublished_ = now;
  http_->Publish(TakeSnapshot(*lobby_, std::chrono::system_clock::now()));
}

std::function<void()> Server::HoldLoopForTest() {
  auto release = std::make_shared<std::promise<void>>();
  std::shared_future<void> released = release->get_future().share();
  // The job's reply runs on the loop, and waits there.
  offLoop_->Submit([released]() -> OffLoop::Reply { return [released] { released.wait(); }; });
  return [release] { release->set_value(); };
}

}  // namespace gorvane::server
