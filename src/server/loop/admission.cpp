// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/loop/admission.h"

#include <sys/socket.h>
#include <unistd.h>

#include "server/loop/server.h"

namespace gorvane::server {

Admission::Admission(const ServerOptions& options, Metrics& metrics, ConnectionTable& table, LogSink log)
    : options_(options),
      metrics_(metrics),
      table_(table),
      log_(std::move(log)),
      addresses_(options.broadcasts, options.rateWindow, kCoolOff) {}

bool Admission::Admit(int fd, const std::string& host, const std::string& peer, bool lobbyHasRoom,
                      TimePoint now) {
  if (!lobbyHasRoom) {
    TurnAway(fd, peer, Defence::kServerFull, Count(options_.maxUsers) + " users already");
    return false;
  }
  if (addresses_.CoolingOff(host, now)) {
    TurnAway(fd, peer, Defence::kBanned, "a connection from that address was cut off lately");
    return false;
  }
  if (addresses_.JoinsFull(host, now)) {
    TurnAway(fd, peer, Defence::kAddressJoins, "that address joined too often lately");
    return false;
  }
  const auto from = perAddress_.find(host);
  if (from != perAddress_.end() && from->second >= options_.maxPerAddress) {
    TurnAway(fd, peer, Defence::kAddressConnections,
             Count(options_.maxPerAddress) + " connections from that address already");
    return false;
  }
  if (unjoined_ >= options_.maxUnjoined) EvictOldestUnjoined();
  return true;
}

void Admission::TurnAway(int fd, const std::string& peer, Defence defence, const std::string& why) {
  metrics_.Defended(defence);
  // A fresh socket takes these few bytes at once; nothing is kept for it.
  const ssize_t sent = ::send(fd, "S_EXCEED", sizeof "S_EXCEED", MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent > 0) {
    metrics_.Sent("S_EXCEED");
    metrics_.BytesOut(static_cast<size_t>(sent));
  }
  ::shutdown(fd, SHUT_WR);
  ::close(fd);
  const TimePoint now = SteadyClock::now();
  if (now - turnedAwayLogged_ < std::chrono::seconds(1)) {
    ++turnedAwayQuiet_;
    return;
  }
  std::string line = "connection from " + peer + " turned away: " + why;
  if (turnedAwayQuiet_ > 0) line += " (" + Count(turnedAwayQuiet_) + " more turned away since the last line)";
  log_(line);
  turnedAwayLogged_ = now;
  turnedAwayQuiet_ = 0;
}

void Admission::Admitted(Connection& connection, TimePoint now) {
  ++perAddress_[connection.address];
  connection.countedUnjoined = true;
  ++unjoined_;
  joinDeadlines_.emplace_back(now + options_.joinTime, connection.key);
  metrics_.Connections(table_.size(), unjoined_);
}

void Admission::Uncount(Connection& connection) {
  if (!connection.countedUnjoined) return;
  connection.countedUnjoined = false;
  --unjoined_;
  metrics_.Connections(table_.size(), unjoined_);
}

void Admission::Left(const std::string& address) {
  const auto from = perAddress_.find(address);
  if (from != perAddress_.end() && --from->second == 0) perAddress_.erase(from);
}

bool Admission::Join(const std::string& address, TimePoint now) { return addresses_.Join(address, now); }

void Admission::CutOff(const std::string& address, TimePoint now) {
  if (addresses_.CutOff(address, now)) {
    log_("address " + address + " cooling off: " + Count(AddressWatch::kCutsToCool) +
         " of its connections cut off within " +
         Count(static_cast<size_t>(std::chrono::duration_cast<std::chrono::seconds>(kCoolOff).count())) +
         " s");
  }
}

std::optional<TimePoint> Admission::nextDeadline() const {
  if (joinDeadlines_.empty()) return std::nullopt;
  return joinDeadlines_.front().first;
}

Connection* Admission::NextUnjoined(std::optional<TimePoint> dueBy) {
  while (!joinDeadlines_.empty()) {
    const auto [deadline, key] = joinDeadlines_.front();
    if (dueBy && deadline > *dueBy) return nullptr;
    joinDeadlines_.pop_front();
    Connection* connection = table_.FindKey(key);
    if (connection != nullptr && connection->countedUnjoined) return connection;
  }
  return nullptr;
}

void Admission::EvictOldestUnjoined() {
  Connection* connection = NextUnjoined(std::nullopt);
  if (connection == nullptr) return;
  table_.Exceed(*connection, Defence::kUnjoinedEvicted,
                "gave way to a newer connection: " + Count(options_.maxUnjoined) + " had not joined");
}

void Admission::SweepUnjoined(TimePoint now) {
  while (Connection* connection = NextUnjoined(now)) {
    metrics_.Defended(Defence::kJoinTimeout);
    table_.Drop(
        *connection,
        "did not join within " +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(options_.joinTime).count()) +
            " s");
  }
}

}  // namespace gorvane::server
