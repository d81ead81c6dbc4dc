// SPDX-License-Identifier: GPL-3.0-or-later
// The well-behaved users that time what they get: probes, their own lobby
// chat lines; newcomers, their way in.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "sim_users.h"

namespace gorvane::bench {

Probes::Probes(std::string server, uint16_t port, size_t count, std::chrono::milliseconds every)
    : server_(std::move(server)),
      port_(port),
      every_(every),
      epoll_(epoll_create1(EPOLL_CLOEXEC)),
      clients_(count) {
  for (size_t i = 0; i < count; ++i) {
    clients_[i].fd = Dial(server_, port_, SourceAddress(2, i));
    if (clients_[i].fd < 0) {
      clients_[i].closed = true;
      continue;
    }
    NonBlocking(clients_[i].fd);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = i;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, clients_[i].fd, &event);
  }
}

Probes::~Probes() {
  End();
  for (SimClient& client : clients_) client.Close();
  ::close(epoll_);
}

std::vector<double> Probes::Take() {
  std::lock_guard lock(mutex_);
  std::vector<double> taken;
  taken.swap(samples_);
  return taken;
}

void Probes::Step() {
  static thread_local std::array<char, kReadBytes> buffer;
  std::array<epoll_event, 64> events{};
  const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 1);
  for (int e = 0; e < n; ++e) {
    const size_t index = events[static_cast<size_t>(e)].data.u64;
    SimClient& client = clients_[index];
    const ssize_t got = ::recv(client.fd, buffer.data(), buffer.size(), 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got <= 0) {
      ++lost_;
      epoll_ctl(epoll_, EPOLL_CTL_DEL, client.fd, nullptr);
      client.Close();
      continue;
    }
    client.framer.Feed(
        std::string_view(buffer.data(), static_cast<size_t>(got)), [&](std::string_view message) {
          const std::string_view kind = KindOf(message);
          if (kind == "S_CONNECT") {
            client.id = FieldInt(message, 1);
            client.Send("G_JOIN", "p" + std::to_string(index));
            return;
          }
          if (kind == "S_GREETING" && FieldInt(message, 1) == client.id) client.joined = true;
          if (kind == "S_CHAT" && waiting_ == index &&
              message.substr(7) == "p" + std::to_string(index) + "> " + line_) {
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sentAt_).count();
            std::lock_guard lock(mutex_);
            samples_.push_back(ms);
            waiting_.reset();
            return;
          }
          AnswerLikeTheClient(client, message, true);
        });
  }
  const auto now = Clock::now();
  if (!ready_) {
    ready_ = std::all_of(clients_.begin(), clients_.end(),
                         [](const SimClient& c) { return c.joined || c.closed; });
    return;
  }
  if (waiting_ && now - sentAt_ > std::chrono::seconds(10)) {
    // Never came back: counted with the slowest.
    std::lock_guard lock(mutex_);
    samples_.push_back(10000.0);
    waiting_.reset();
  }
  if (!waiting_ && now >= nextLine_) {
    for (size_t tries = 0; tries < clients_.size(); ++tries) {
      SimClient& client = clients_[next_];
      const size_t index = next_;
      next_ = (next_ + 1) % clients_.size();
      if (client.closed || !client.joined) continue;
      line_ = "probe " + std::to_string(++sequence_);
      sentAt_ = now;
      waiting_ = index;
      client.Send("G_CHAT", line_);
      break;
    }
    nextLine_ = now + every_;
  }
  for (SimClient& client : clients_) {
    if (!client.pending.empty()) client.Flush();
  }
}

// ---------------------------------------------------------------- newcomers

Newcomers::Newcomers(std::string server, uint16_t port, std::chrono::milliseconds every)
    : server_(std::move(server)), port_(port), every_(every) {}

std::vector<double> Newcomers::Take() {
  std::lock_guard lock(mutex_);
  std::vector<double> taken;
  taken.swap(samples_);
  return taken;
}

void Newcomers::Step() {
  const auto start = Clock::now();
  SimClient client;
  client.fd = Dial(server_, port_, SourceAddress(4, nextAddress_++));
  bool greeted = false;
  if (client.fd >= 0) {
    std::array<char, 65536> buffer;
    while (!greeted && Clock::now() - start < std::chrono::seconds(10)) {
      pollfd one{client.fd, POLLIN, 0};
      if (poll(&one, 1, 100) <= 0) continue;
      const ssize_t n = ::recv(client.fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      client.framer.Feed(std::string_view(buffer.data(), static_cast<size_t>(n)),
                         [&](std::string_view message) {
                           const std::string_view kind = KindOf(message);
                           if (kind == "S_CONNECT") {
                             client.id = FieldInt(message, 1);
                             client.Send("G_JOIN", "newcomer");
                           } else if (kind == "S_GREETING" && FieldInt(message, 1) == client.id) {
                             greeted = true;
                           }
                         });
    }
  }
  if (greeted) {
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::lock_guard lock(mutex_);
    samples_.push_back(ms);
    client.Send("G_BYE");
    ::shutdown(client.fd, SHUT_WR);
  } else {
    ++refused_;
  }
  client.Close();
  std::this_thread::sleep_until(start + every_);
}

}  // namespace gorvane::bench
