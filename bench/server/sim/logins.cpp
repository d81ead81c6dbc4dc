// SPDX-License-Identifier: GPL-3.0-or-later
// The login pool: joined users on several servers that log in at a given
// rate and time each answer, and watchers whose accounts the others ask
// about until a game's results show.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <limits>
#include <utility>

#include "sim/users.h"

namespace gorvane::bench {
namespace {

// Five logins and five questions in any 10 s per connection, as the server
// meters them: each a little more than a fifth of that apart.
constexpr auto kMeterGap = std::chrono::milliseconds(2100);
constexpr auto kAnswerWithin = std::chrono::seconds(5);
constexpr auto kAskEvery = std::chrono::milliseconds(50);
// Connections dialled and not yet greeted at most: the server turns away
// more than a few hundred that have not joined.
constexpr size_t kDialling = 128;

}  // namespace

struct LoginPool::User {
  SimClient client;
  size_t site = 0;
  size_t number = 0;
  std::optional<size_t> watcher;
  bool dialled = false;
  bool loggedIn = false;  // a watcher's own login
  bool loginPending = false;
  // A login not answered in time: its late answer must not be taken for
  // another's, so the connection is used no more.
  bool spoilt = false;
  Clock::time_point sentAt{};
  Clock::time_point loginFree{};
  Clock::time_point askFree{};
};

LoginPool::LoginPool(std::vector<Site> sites, size_t perSite, std::vector<std::string> logins,
                     std::string password, size_t watchSite, std::vector<std::string> watchers)
    : sites_(std::move(sites)),
      perSite_(perSite),
      logins_(std::move(logins)),
      password_(std::move(password)),
      watchSite_(watchSite),
      watchers_(std::move(watchers)),
      epoll_(epoll_create1(EPOLL_CLOEXEC)),
      cursors_(sites_.size(), 0),
      nextAsk_(watchers_.size()),
      asked_(std::make_unique<std::atomic<bool>[]>(watchers_.size())),
      seen_(std::make_unique<std::atomic<int64_t>[]>(watchers_.size())) {
  // The sites by turns, so that all of them greet their users at once.
  for (size_t number = 0; number < perSite_; ++number) {
    for (size_t site = 0; site < sites_.size(); ++site) {
      auto user = std::make_unique<User>();
      user->site = site;
      user->number = number;
      if (site == watchSite_ && number < watchers_.size()) user->watcher = number;
      users_.push_back(std::move(user));
    }
  }
}

LoginPool::~LoginPool() {
  End();
  for (auto& user : users_) user->client.Close();
  ::close(epoll_);
}

std::vector<double> LoginPool::Take() {
  const std::lock_guard lock(mutex_);
  return std::exchange(samples_, {});
}

std::optional<Clock::time_point> LoginPool::Seen(size_t watcher) const {
  const int64_t at = seen_[watcher];
  if (at == 0) return std::nullopt;
  return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(at)));
}

void LoginPool::Read(size_t index) {
  static thread_local std::array<char, kReadBytes> buffer;
  User& user = *users_[index];
  const ssize_t n = ::recv(user.client.fd, buffer.data(), buffer.size(), 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    epoll_ctl(epoll_, EPOLL_CTL_DEL, user.client.fd, nullptr);
    user.client.Close();
    return;
  }
  user.client.framer.Feed(std::string_view(buffer.data(), static_cast<size_t>(n)),
                          [&](std::string_view message) { Handle(user, message); });
}

void LoginPool::Handle(User& user, std::string_view message) {
  SimClient& client = user.client;
  const std::string_view kind = KindOf(message);
  if (kind == "S_CHAT") return;
  if (kind == "S_CONNECT") {
    client.id = FieldInt(message, 1);
    client.Send("G_JOIN", "s" + std::to_string(user.number));
  } else if (kind == "S_GREETING" && FieldInt(message, 1) == client.id) {
    client.joined = true;
    if (user.watcher) client.Send("G_LOGIN", watchers_[*user.watcher] + " " + password_);
  } else if (kind == "S_LOGIN" || kind == "S_ELOGIN") {
    if (user.watcher) {
      user.loggedIn = kind == "S_LOGIN";
    } else if (user.loginPending) {
      const double ms = kind == "S_LOGIN"
                            ? std::chrono::duration<double, std::milli>(Clock::now() - user.sentAt).count()
                            : std::numeric_limits<double>::infinity();
      user.loginPending = false;
      std::lock_guard lock(mutex_);
      samples_.push_back(ms);
    }
  } else if (kind == "S_INFO") {
    // id, name, login, prize, wins
    const int32_t about = FieldInt(message, 1);
    if (FieldInt(message, 4) == 0 && FieldInt(message, 5) == 0) return;
    for (size_t k = 0; k < watchers_.size(); ++k) {
      if (At(watchSite_, k).client.id != about || seen_[k] != 0) continue;
      seen_[k] =
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
    }
  }
}

LoginPool::User* LoginPool::Free(size_t site, bool login, Clock::time_point now) {
  size_t& cursor = cursors_[site];
  for (size_t tries = 0; tries < perSite_; ++tries) {
    User& user = At(site, cursor);
    cursor = (cursor + 1) % perSite_;
    if (!user.client.joined || user.client.closed || user.watcher || user.loginPending || user.spoilt)
      continue;
    if (now >= (login ? user.loginFree : user.askFree)) return &user;
  }
  return nullptr;
}

void LoginPool::SendLogins(Clock::time_point now) {
  const double rate = rate_;
  if (rate != lastRate_) {
    lastRate_ = rate;
    due_ = now;
  }
  if (rate <= 0) return;
  const auto gap = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
  for (int sent = 0; now >= due_ && sent < 256; ++sent, due_ += gap) {
    User* user = Free(nextSite_++ % sites_.size(), true, now);
    if (user == nullptr) {
      ++missed_;
      continue;
    }
    user->loginPending = true;
    user->loginFree = now + kMeterGap;
    user->sentAt = Clock::now();
    user->client.Send("G_LOGIN", logins_[nextLogin_++ % logins_.size()] + " " + password_);
  }
}

void LoginPool::SendQuestions(Clock::time_point now) {
  for (size_t k = 0; k < watchers_.size(); ++k) {
    if (!asked_[k] || seen_[k] != 0 || now < nextAsk_[k]) continue;
    User* user = Free(watchSite_, false, now);
    if (user == nullptr) continue;
    user->askFree = now + kMeterGap;
    user->client.Send("G_INFO", std::to_string(At(watchSite_, k).client.id));
    nextAsk_[k] = now + kAskEvery;
  }
}

void LoginPool::Step() {
  std::array<epoll_event, 256> events{};
  const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 1);
  for (int i = 0; i < n; ++i) Read(events[static_cast<size_t>(i)].data.u64);
  const auto now = Clock::now();
  size_t dialling = 0;
  bool ready = true;
  for (size_t index = 0; index < users_.size(); ++index) {
    User& user = *users_[index];
    if (!user.dialled && dialling < kDialling) {
      // Arrivals a few at a time, so that the server greets each in turn.
      user.dialled = true;
      user.client.fd = DialLoopback(sites_[user.site].address, sites_[user.site].port,
                                    {.source = SourceAddress(7, user.number)});
      if (user.client.fd < 0) {
        user.client.closed = true;
      } else {
        NonBlocking(user.client.fd);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = index;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, user.client.fd, &event);
      }
    }
    if (!user.client.closed && !user.client.joined) ++dialling;
    ready = ready && user.dialled &&
            (user.client.closed || (user.client.joined && (!user.watcher || user.loggedIn)));
    if (user.loginPending && now - user.sentAt > kAnswerWithin) {
      user.loginPending = false;
      user.spoilt = true;
      std::lock_guard lock(mutex_);
      samples_.push_back(std::numeric_limits<double>::infinity());
    }
    if (!user.client.pending.empty()) user.client.Flush();
  }
  ready_ = ready;
  SendLogins(now);
  SendQuestions(now);
}

namespace {

constexpr int kAttackGroup = 90;
constexpr int kOwnerGroup = 91;
constexpr auto kRotationEvery = std::chrono::seconds(6);
constexpr auto kOwnerEvery = std::chrono::seconds(8);
constexpr auto kOwnerWithin = std::chrono::seconds(15);

}  // namespace

LoginRotation::LoginRotation(std::string server, uint16_t port)
    : server_(std::move(server)), port_(port), epoll_(epoll_create1(EPOLL_CLOEXEC)) {}

LoginRotation::~LoginRotation() {
  End();
  for (auto& guest : guests_) guest->client.Close();
  ::close(epoll_);
}

std::vector<double> LoginRotation::Take() {
  const std::lock_guard lock(mutex_);
  return std::exchange(waits_, {});
}

void LoginRotation::Open(const std::string& source, bool owner) {
  auto guest = std::make_unique<Guest>();
  guest->owner = owner;
  guest->client.fd = DialLoopback(server_, port_, {.source = source});
  if (guest->client.fd < 0) {
    guest->client.closed = true;
  } else {
    NonBlocking(guest->client.fd);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = guest.get();
    epoll_ctl(epoll_, EPOLL_CTL_ADD, guest->client.fd, &event);
  }
  guests_.push_back(std::move(guest));
}

void LoginRotation::Handle(Guest& guest, std::string_view message) {
  SimClient& client = guest.client;
  const std::string_view kind = KindOf(message);
  if (kind == "S_CONNECT") {
    client.id = FieldInt(message, 1);
    client.Send("G_JOIN", guest.owner ? "owner" : "guesser");
  } else if (kind == "S_GREETING" && FieldInt(message, 1) == client.id && !guest.asked) {
    guest.asked = true;
    guest.sentAt = Clock::now();
    client.Send("G_LOGIN", std::string(kLogin) + " " + (guest.owner ? kPassword : "wrong-guess"));
    if (!guest.owner) ++guesses_;
  } else if (kind == "S_LOGIN" || kind == "S_ELOGIN") {
    if (guest.owner) {
      const double ms = kind == "S_LOGIN"
                            ? std::chrono::duration<double, std::milli>(Clock::now() - guest.sentAt).count()
                            : std::numeric_limits<double>::infinity();
      const std::lock_guard lock(mutex_);
      waits_.push_back(ms);
    }
    // Answered: the address's place is given back.
    epoll_ctl(epoll_, EPOLL_CTL_DEL, client.fd, nullptr);
    client.Send("G_BYE");
    client.Close();
  }
}

void LoginRotation::Step() {
  std::array<epoll_event, 64> events{};
  const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 5);
  for (int i = 0; i < n; ++i) {
    Guest& guest = *static_cast<Guest*>(events[static_cast<size_t>(i)].data.ptr);
    static thread_local std::array<char, kReadBytes> buffer;
    const ssize_t got = ::recv(guest.client.fd, buffer.data(), buffer.size(), 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got <= 0) {
      epoll_ctl(epoll_, EPOLL_CTL_DEL, guest.client.fd, nullptr);
      guest.client.Close();
      continue;
    }
    guest.client.framer.Feed(std::string_view(buffer.data(), static_cast<size_t>(got)),
                             [&](std::string_view message) { Handle(guest, message); });
  }
  const Clock::time_point now = Clock::now();
  if (!start_) start_ = now;
  const auto since = now - *start_;
  if (!opened_) {
    // The burst: five guesses from each of two addresses; then one each
    // from eight more, which wait for the login's budget.
    opened_ = true;
    for (size_t address = 0; address < 2; ++address) {
      for (int guess = 0; guess < 5; ++guess) Open(SourceAddress(kAttackGroup, address), false);
    }
    for (size_t address = 2; address < 10; ++address) Open(SourceAddress(kAttackGroup, address), false);
  }
  while (since >= kRotationEvery * (fresh_ + 1)) {
    Open(SourceAddress(kAttackGroup, 10 + static_cast<size_t>(fresh_ % 20)), false);
    ++fresh_;
  }
  while (since >= std::chrono::seconds(3) + kOwnerEvery * owners_) {
    Open(SourceAddress(kOwnerGroup, 0), true);
    ++owners_;
  }
  for (auto& guest : guests_) {
    if (guest->owner && guest->asked && !guest->client.closed && now - guest->sentAt > kOwnerWithin) {
      epoll_ctl(epoll_, EPOLL_CTL_DEL, guest->client.fd, nullptr);
      guest->client.Close();
      const std::lock_guard lock(mutex_);
      waits_.push_back(std::numeric_limits<double>::infinity());
    }
    if (!guest->client.closed && !guest->client.pending.empty()) guest->client.Flush();
  }
  std::erase_if(guests_, [](const auto& guest) { return guest->client.closed; });
}

}  // namespace gorvane::bench
