// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/tls_users.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

namespace gorvane::bench {

void SslFree::operator()(ssl_st* tls) const { SSL_free(tls); }
void SslContextFree::operator()(ssl_ctx_st* context) const { SSL_CTX_free(context); }

SslClientContext NewClientContext() {
  SslClientContext context(SSL_CTX_new(TLS_client_method()));
  if (context)
    SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return context;
}

namespace {

// A session's read or write that did nothing: whether it only has to wait.
bool Waits(ssl_st* tls, int result) {
  const int error = SSL_get_error(tls, result);
  return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
}

}  // namespace

// ------------------------------------------------------------------ chatters

Chatters::Chatters(std::string server, uint16_t port, ssl_ctx_st* context, std::vector<bool> overTls,
                   int group, std::string prefix, std::chrono::milliseconds every)
    : server_(std::move(server)),
      port_(port),
      prefix_(std::move(prefix)),
      every_(every),
      epoll_(epoll_create1(EPOLL_CLOEXEC)),
      users_(overTls.size()) {
  for (size_t i = 0; i < users_.size(); ++i) {
    User& user = users_[i];
    user.fd = DialLoopback(server_, port_, {.source = SourceAddress(group, i)});
    bool ok = user.fd >= 0;
    if (ok && overTls[i]) {
      // The handshake blocking, bounded, before the socket joins the others.
      timeval limit{5, 0};
      setsockopt(user.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      user.tls.reset(SSL_new(context));
      ok = user.tls && SSL_set_fd(user.tls.get(), user.fd) == 1 && SSL_connect(user.tls.get()) == 1;
      ERR_clear_error();
    } else if (ok) {
      user.client.fd = user.fd;
    }
    if (!ok) {
      ++failed_;
      Lose(user);
      continue;
    }
    NonBlocking(user.fd);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = i;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, user.fd, &event);
  }
}

Chatters::~Chatters() {
  End();
  for (User& user : users_) Lose(user);
  ::close(epoll_);
}

std::array<std::vector<double>, 2> Chatters::Take() {
  const std::lock_guard lock(mutex_);
  return std::exchange(samples_, {});
}

void Chatters::Lose(User& user) {
  user.tls.reset();
  user.client.fd = -1;
  user.client.Close();
  if (user.fd >= 0) ::close(user.fd);
  user.fd = -1;
}

void Chatters::Flush(User& user) {
  if (!user.tls) {
    user.client.Flush();
    return;
  }
  while (!user.client.pending.empty() && !user.client.closed) {
    const int n =
        SSL_write(user.tls.get(), user.client.pending.data(), static_cast<int>(user.client.pending.size()));
    if (n > 0) {
      user.client.pending.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (!Waits(user.tls.get(), n)) {
      ++lost_;
      epoll_ctl(epoll_, EPOLL_CTL_DEL, user.fd, nullptr);
      Lose(user);
    }
    ERR_clear_error();
    return;
  }
}

void Chatters::Read(size_t index) {
  static thread_local std::array<char, kReadBytes> buffer;
  User& user = users_[index];
  if (user.client.closed) return;
  // A session may hold more than one read takes: read until it waits.
  for (;;) {
    ssize_t got = 0;
    bool gone = false;
    if (user.tls) {
      const int n = SSL_read(user.tls.get(), buffer.data(), static_cast<int>(buffer.size()));
      got = n;
      gone = n <= 0 && !Waits(user.tls.get(), n);
      ERR_clear_error();
    } else {
      got = ::recv(user.fd, buffer.data(), buffer.size(), 0);
      gone = got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR);
    }
    if (gone) {
      ++lost_;
      epoll_ctl(epoll_, EPOLL_CTL_DEL, user.fd, nullptr);
      Lose(user);
      return;
    }
    if (got <= 0) return;
    user.client.framer.Feed(std::string_view(buffer.data(), static_cast<size_t>(got)),
                            [&](std::string_view message) { Handle(index, message); });
    if (!user.tls) return;
  }
}

void Chatters::Handle(size_t index, std::string_view message) {
  SimClient& client = users_[index].client;
  const std::string_view kind = KindOf(message);
  if (kind == "S_CONNECT") {
    client.id = FieldInt(message, 1);
    client.Send("G_JOIN", prefix_ + std::to_string(index));
    return;
  }
  if (kind == "S_GREETING" && FieldInt(message, 1) == client.id) client.joined = true;
  if (kind == "S_CHAT" && waiting_ == index &&
      message.substr(7) == prefix_ + std::to_string(index) + "> " + line_) {
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sentAt_).count();
    std::lock_guard lock(mutex_);
    samples_[users_[index].tls ? 1 : 0].push_back(ms);
    waiting_.reset();
    nextLine_ = Clock::now() + every_;
    return;
  }
  AnswerLikeTheClient(client, message, true);
}

void Chatters::Step() {
  std::array<epoll_event, 64> events{};
  const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 1);
  for (int e = 0; e < n; ++e) Read(events[static_cast<size_t>(e)].data.u64);
  const auto now = Clock::now();
  if (!ready_) {
    ready_ = std::all_of(users_.begin(), users_.end(),
                         [](const User& u) { return u.client.joined || u.client.closed; });
  } else {
    if (waiting_ && now - sentAt_ > std::chrono::seconds(10)) {
      // Never came back: counted with the slowest.
      std::lock_guard lock(mutex_);
      samples_[users_[*waiting_].tls ? 1 : 0].push_back(10000.0);
      waiting_.reset();
    }
    if (!waiting_ && now >= nextLine_) {
      for (size_t tries = 0; tries < users_.size(); ++tries) {
        const size_t index = next_;
        next_ = (next_ + 1) % users_.size();
        SimClient& client = users_[index].client;
        if (client.closed || !client.joined) continue;
        line_ = "line " + std::to_string(++sequence_);
        sentAt_ = now;
        waiting_ = index;
        client.Send("G_CHAT", line_);
        break;
      }
    }
  }
  for (User& user : users_) {
    if (!user.client.pending.empty()) Flush(user);
  }
}

// ---------------------------------------------------------------- handshakes

namespace {

// At most this many under way: the server drops the oldest connections not
// joined beyond its maxUnjoined (256 as shipped), and these never join.
constexpr size_t kUnderWay = 200;

}  // namespace

Handshakes::Handshakes(std::string server, uint16_t port, ssl_ctx_st* context)
    : server_(std::move(server)),
      port_(port),
      context_(context),
      epoll_(epoll_create1(EPOLL_CLOEXEC)),
      slots_(kUnderWay) {
  for (size_t i = 0; i < kUnderWay; ++i) free_.push_back(kUnderWay - 1 - i);
}

Handshakes::~Handshakes() {
  End();
  for (Attempt& attempt : slots_) {
    attempt.tls.reset();
    if (attempt.fd >= 0) ::close(attempt.fd);
  }
  ::close(epoll_);
}

std::vector<double> Handshakes::Take() {
  const std::lock_guard lock(mutex_);
  return std::exchange(samples_, {});
}

void Handshakes::Open(Clock::time_point now) {
  if (free_.empty()) {
    ++missed_;
    return;
  }
  const int fd =
      DialLoopback(server_, port_,
                   {.source = SourceAddress(43, nextAddress_++ % kHandshakeAddresses), .nonBlocking = true});
  if (fd < 0) {
    ++failed_;
    return;
  }
  const size_t slot = free_.back();
  free_.pop_back();
  Attempt& attempt = slots_[slot];
  attempt = Attempt{};
  attempt.fd = fd;
  attempt.began = now;
  // Edge-triggered: each event is followed by steps until the session waits.
  epoll_event event{};
  event.events = EPOLLIN | EPOLLOUT | EPOLLET;
  event.data.u64 = slot;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
  // The ClientHello at once, as a client sends it: on loopback the connect
  // is done by now, and a server with TLS greets in plain a connection
  // silent for its sniffing wait. When it is not done, the write waits for
  // the socket to be writable.
  if (Advance(attempt)) Finish(slot, attempt.read.starts_with("S_CONNECT"));
}

bool Handshakes::Advance(Attempt& attempt) {
  if (!attempt.connected) {
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(attempt.fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) return true;
    attempt.connected = true;
    attempt.tls.reset(SSL_new(context_));
    if (!attempt.tls || SSL_set_fd(attempt.tls.get(), attempt.fd) != 1) return true;
    SSL_set_connect_state(attempt.tls.get());
  }
  std::array<char, 64> buffer{};
  for (;;) {
    const int n = SSL_read(attempt.tls.get(), buffer.data(), static_cast<int>(buffer.size()));
    if (n <= 0) {
      const bool waits = Waits(attempt.tls.get(), n);
      ERR_clear_error();
      return !waits;
    }
    attempt.read.append(buffer.data(), static_cast<size_t>(n));
    if (attempt.read.size() >= 9) return true;
  }
}

void Handshakes::Finish(size_t slot, bool ok) {
  Attempt& attempt = slots_[slot];
  if (ok) {
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - attempt.began).count();
    std::lock_guard lock(mutex_);
    samples_.push_back(ms);
  } else {
    ++failed_;
  }
  epoll_ctl(epoll_, EPOLL_CTL_DEL, attempt.fd, nullptr);
  attempt.tls.reset();
  ::close(attempt.fd);
  attempt.fd = -1;
  free_.push_back(slot);
}

void Handshakes::Step() {
  std::array<epoll_event, 256> events{};
  const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 1);
  for (int e = 0; e < n; ++e) {
    const size_t slot = events[static_cast<size_t>(e)].data.u64;
    Attempt& attempt = slots_[slot];
    if (attempt.fd < 0) continue;
    if (Advance(attempt)) Finish(slot, attempt.read.starts_with("S_CONNECT"));
  }
  const auto now = Clock::now();
  for (size_t slot = 0; slot < slots_.size(); ++slot) {
    if (slots_[slot].fd >= 0 && now - slots_[slot].began > std::chrono::seconds(5)) Finish(slot, false);
  }
  const double rate = rate_;
  if (rate != lastRate_) {
    lastRate_ = rate;
    due_ = now;
  }
  if (rate > 0) Due(now, rate);
  timespec used{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
  cpuNs_ = static_cast<int64_t>(used.tv_sec) * 1000000000 + used.tv_nsec;
}

void Handshakes::Due(Clock::time_point now, double rate) {
  const auto gap = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
  // Behind by more than a second: the machine could not keep up; what was
  // due then is not sent in a burst.
  if (now - due_ > std::chrono::seconds(1)) {
    missed_ += static_cast<uint64_t>((now - due_) / gap);
    due_ = now;
  }
  for (; due_ <= now; due_ += gap) Open(now);
}

}  // namespace gorvane::bench
