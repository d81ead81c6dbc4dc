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
  http_ = HttpSide::Start(*options_.http, {[this] { return MetricsText(); }, options_.databasePath}, error);
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

// Until the metrics families come, the counters the server keeps.
std::string Server::MetricsText() const {
  const ServerCounters now = counters();
  std::string text;
  for (const auto& [name, help, value] :
       {std::tuple{"gorvane_messages_in_total", "Commands read from the players.", now.messagesIn},
        std::tuple{"gorvane_messages_out_total", "Messages queued for the players.", now.messagesOut},
        std::tuple{"gorvane_bytes_out_total", "Bytes queued for the players.", now.bytesOut}}) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " counter\n" + name + " " +
            std::to_string(value) + "\n";
  }
  return text;
}

std::function<void()> Server::HoldLoopForTest() {
  auto release = std::make_shared<std::promise<void>>();
  std::shared_future<void> released = release->get_future().share();
  // The job's reply runs on the loop, and waits there.
  offLoop_->Submit([released]() -> OffLoop::Reply { return [released] { released.wait(); }; });
  return [release] { release->set_value(); };
}

}  // namespace gorvane::server
