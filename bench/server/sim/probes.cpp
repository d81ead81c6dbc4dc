// SPDX-License-Identifier: GPL-3.0-or-later
// The well-behaved users that time what they get: probes, their own lobby
// chat lines; newcomers, their way in; arrivals, when they asked to join.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

#include "sim/users.h"

namespace gorvane::bench {

Probes::Probes(std::string server, uint16_t port, size_t count, std::chrono::milliseconds every)
    : server_(std::move(server)),
      port_(port),
      every_(every),
      epoll_(epoll_create1(EPOLL_CLOEXEC)),
      clients_(count) {
  for (size_t i = 0; i < count; ++i) {
    clients_[i].fd = DialLoopback(server_, port_, {.source = SourceAddress(2, i)});
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
  const std::lock_guard lock(mutex_);
  return std::exchange(samples_, {});
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
  const std::lock_guard lock(mutex_);
  return std::exchange(samples_, {});
}

void Newcomers::Step() {
  const auto start = Clock::now();
  SimClient client;
  client.fd = DialLoopback(server_, port_, {.source = SourceAddress(4, nextAddress_++)});
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

// ----------------------------------------------------------------- arrivals

Arrivals::Arrivals(std::string server, uint16_t port, std::string marker)
    : server_(std::move(server)),
      port_(port),
      marker_(std::move(marker)),
      epoll_(epoll_create1(EPOLL_CLOEXEC)) {}

Arrivals::~Arrivals() {
  End();
  for (Newcomer& newcomer : newcomers_) newcomer.client.Close();
  ::close(epoll_);
}

std::vector<Arrival> Arrivals::Take() {
  const std::lock_guard lock(mutex_);
  return std::exchange(arrived_, {});
}

void Arrivals::Read(Newcomer& newcomer) {
  static thread_local std::array<char, kReadBytes> buffer;
  SimClient& client = newcomer.client;
  const ssize_t got = ::recv(client.fd, buffer.data(), buffer.size(), 0);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (got <= 0) {
    epoll_ctl(epoll_, EPOLL_CTL_DEL, client.fd, nullptr);
    client.Close();
    return;
  }
  if (newcomer.leaving) return;
  client.framer.Feed(
      std::string_view(buffer.data(), static_cast<size_t>(got)), [&](std::string_view message) {
        if (KindOf(message) == "S_CONNECT") {
          client.id = FieldInt(message, 1);
          const std::string digits = std::to_string(newcomer.number);
          client.Send("G_JOIN", marker_ + std::string(HeadFramer::kMarkDigits - digits.size(), '0') + digits);
          std::lock_guard lock(mutex_);
          arrived_.push_back({newcomer.number, Clock::now()});
          return;
        }
        if (KindOf(message) == "S_GREETING" && FieldInt(message, 1) == client.id) client.joined = true;
        AnswerLikeTheClient(client, message, true);
      });
}

void Arrivals::Step() {
  std::array<epoll_event, 64> events{};
  const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 2);
  for (int e = 0; e < n; ++e) Read(newcomers_[events[static_cast<size_t>(e)].data.u64]);
  const auto now = Clock::now();
  const auto every = std::chrono::milliseconds(everyMs_.load());
  if (every.count() > 0 && now >= next_) {
    next_ = now + every;
    Newcomer newcomer;
    newcomer.number = number_++;
    newcomer.client.fd = DialLoopback(server_, port_, {.source = SourceAddress(9, newcomer.number)});
    if (newcomer.client.fd >= 0) {
      NonBlocking(newcomer.client.fd);
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u64 = newcomers_.size();
      epoll_ctl(epoll_, EPOLL_CTL_ADD, newcomer.client.fd, &event);
      newcomers_.push_back(std::move(newcomer));
    }
  }
  if (every.count() == 0) next_ = now;
  const bool leave = leave_.exchange(false);
  for (Newcomer& newcomer : newcomers_) {
    if (newcomer.client.closed) continue;
    if (leave && !newcomer.leaving) {
      // Goodbye; read on until the server closes.
      newcomer.leaving = true;
      newcomer.client.Send("G_BYE");
      ::shutdown(newcomer.client.fd, SHUT_WR);
    }
    if (!newcomer.client.pending.empty()) newcomer.client.Flush();
  }
}

}  // namespace gorvane::bench
