// SPDX-License-Identifier: GPL-3.0-or-later
// The crowd: users that behave as the client does, a tenth of them playing
// in parties of three, some leaving and as many arriving.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>

#include "sim/users.h"

namespace gorvane::bench {
namespace {

// A player's own amount in S_RESULT: records of id and amount.
int64_t OwnAmount(std::string_view result, int32_t id) {
  const Fields fields = SplitCommaText(result);
  for (size_t i = 1; i < fields.size(); ++i) {
    const Fields record = SplitDelimitedText(fields[i], ':');
    if (record.size() == 2 && ParseInt32(record[0]) == id) return ParseInt32(record[1]).value_or(0);
  }
  return 0;
}

}  // namespace

struct Crowd::User {
  SimClient client;
  bool party = false;
  bool leader = false;
  bool loggedIn = false;
  size_t leaderIndex = 0;
  int32_t partyNumber = 0;  // the leader's
  int joinedMembers = 0;
  bool sentJoin = false;
  bool leaving = false;
  std::optional<testing::ScriptedPlayer> player;
  Clock::time_point next{};
  std::optional<Clock::time_point> restartAt;
  // When it was greeted and when it left, for the arrivals it should see.
  std::optional<Clock::time_point> joinedAt;
  std::optional<Clock::time_point> leftAt;
  // By newcomer number: when a user list first showed it.
  std::vector<Clock::time_point> seen;
};

Crowd::Crowd(std::string server, uint16_t port, const CardCatalogue& cards, CrowdSettings settings)
    : server_(std::move(server)),
      port_(port),
      cards_(cards),
      settings_(settings),
      epoll_(epoll_create1(EPOLL_CLOEXEC)) {}

Crowd::~Crowd() {
  End();
  for (auto& user : users_) user->client.Close();
  ::close(epoll_);
}

void Crowd::Add() {
  const size_t index = users_.size();
  auto user = std::make_unique<User>();
  const size_t seat = index % settings_.partyEvery;
  user->party = seat < 3;
  user->leader = seat == 0;
  user->leaderIndex = index - seat;
  if (!settings_.arrivalMarker.empty()) user->client.framer.WatchFor(settings_.arrivalMarker);
  user->client.fd = DialLoopback(server_, port_, {.source = SourceAddress(1, nextAddress_++)});
  if (user->client.fd < 0) {
    user->client.closed = true;
    ++lost_;
  } else {
    NonBlocking(user->client.fd);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = index;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, user->client.fd, &event);
  }
  users_.push_back(std::move(user));
}

void Crowd::Read(size_t index) {
  static thread_local std::array<char, kReadBytes> buffer;
  User& user = *users_[index];
  if (user.client.closed) return;
  const ssize_t n = ::recv(user.client.fd, buffer.data(), buffer.size(), 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    if (!user.leaving) ++lost_;
    if (!user.leftAt) user.leftAt = Clock::now();
    if (user.client.joined) --joined_;
    user.client.joined = false;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, user.client.fd, nullptr);
    user.client.Close();
    return;
  }
  bytesRead_ += static_cast<uint64_t>(n);
  if (user.leaving) return;
  user.client.framer.Feed(std::string_view(buffer.data(), static_cast<size_t>(n)),
                          [&](std::string_view message) { Handle(index, message); });
}

void Crowd::Handle(size_t index, std::string_view message) {
  User& user = *users_[index];
  SimClient& client = user.client;
  const std::string_view kind = KindOf(message);
  if (kind == "S_CHAT" || kind == "S_GLIST") return;
  if (kind == "S_LIST") {
    ++listsRead_;
    for (const uint32_t number : client.framer.marks()) {
      if (user.seen.size() <= number) user.seen.resize(number + 1);
      if (user.seen[number] == Clock::time_point{}) user.seen[number] = Clock::now();
    }
    return;
  }
  if (kind == "S_CONNECT") {
    client.id = FieldInt(message, 1);
    client.Send("G_JOIN", "u" + std::to_string(index));
    return;
  }
  if (kind == "S_GREETING" && FieldInt(message, 1) == client.id) {
    client.joined = true;
    user.joinedAt = Clock::now();
    ++joined_;
    if (user.party && !settings_.loginPrefix.empty()) {
      client.Send("G_LOGIN", settings_.loginPrefix + std::to_string(index) + " " + settings_.password);
    } else {
      user.loggedIn = true;
      if (user.leader) client.Send("P_CREATE");
    }
  } else if (kind == "S_LOGIN" && !user.loggedIn) {
    user.loggedIn = true;
    if (user.leader) client.Send("P_CREATE");
  }
  listsAsked_ += static_cast<uint64_t>(AnswerLikeTheClient(client, message, asks_));
  if (!user.party) return;
  if (user.player) user.player->Receive(message);
  // The game window the client opens on its own join asks for its roster;
  // the leader's start waits for it.
  if (kind == "S_PJOIN" && FieldInt(message, 1) == client.id) client.Send("P_LIST");
  if (user.leader && kind == "S_CREATE" && FieldInt(message, 1) == client.id) {
    user.partyNumber = FieldInt(message, 2);
  } else if (user.leader && kind == "S_PJOIN" && FieldInt(message, 2) == user.partyNumber &&
             ++user.joinedMembers == 2) {
    client.Send("P_START");
  } else if (kind == "S_FIRSTHAND") {
    std::vector<int32_t> ids;
    for (size_t seat = 0; seat < 3; ++seat) ids.push_back(users_[user.leaderIndex + seat]->client.id);
    user.player.emplace(cards_, client.id, ids);
    user.player->Receive(message);
  } else if (kind == "S_RESULT") {
    if (settings_.onResult) settings_.onResult(index, OwnAmount(message, client.id));
    if (user.leader) {
      ++games_;
      user.restartAt = Clock::now() + std::chrono::milliseconds(200);
    }
  }
}

void Crowd::Play(Clock::time_point now) {
  for (size_t index = 0; index < users_.size(); index += settings_.partyEvery) {
    for (size_t seat = 0; seat < 3 && index + seat < users_.size(); ++seat) {
      User& user = *users_[index + seat];
      if (!user.client.joined) continue;
      if (!user.leader && !user.sentJoin && user.loggedIn && users_[index]->partyNumber != 0) {
        user.client.Send("P_JOIN", std::to_string(users_[index]->partyNumber));
        user.sentJoin = true;
      }
      if (user.restartAt && now >= *user.restartAt) {
        user.restartAt.reset();
        user.client.Send("P_START");
      }
      if (user.player && now >= user.next) {
        if (auto move = user.player->NextMove()) {
          user.client.Send(move->kind, move->argument);
          user.next = now + std::chrono::milliseconds(settings_.thinkMs);
        }
      }
      user.client.Flush();
    }
  }
}

void Crowd::Churn(Clock::time_point now) {
  if (!churns_ || now < nextDeparture_) return;
  const double perMinute = std::max(1.0, settings_.leavePerMinute * static_cast<double>(joined_.load()));
  nextDeparture_ =
      now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(60.0 / perMinute));
  std::uniform_int_distribution<size_t> pick(0, users_.size() - 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    User& user = *users_[pick(random_)];
    if (user.party || !user.client.joined || user.client.closed || user.leaving) continue;
    ++departures_;
    --joined_;
    user.client.joined = false;
    user.leftAt = now;
    if (departures_ % 2 == 0) {
      // A goodbye, and the connection closed once the server has closed it.
      user.leaving = true;
      user.client.Send("G_BYE");
      ::shutdown(user.client.fd, SHUT_WR);
    } else {
      epoll_ctl(epoll_, EPOLL_CTL_DEL, user.client.fd, nullptr);
      user.client.Close();
    }
    Add();  // as many arrive as leave
    return;
  }
}

void Crowd::Step() {
  std::array<epoll_event, 512> events{};
  const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 2);
  const std::lock_guard lock(mutex_);
  for (int i = 0; i < n; ++i) Read(events[static_cast<size_t>(i)].data.u64);
  const auto now = Clock::now();
  // Arrivals a few at a time, so that the server greets each in turn.
  size_t present = 0;
  for (const auto& user : users_) present += user->client.closed || user->leaving ? 0 : 1;
  for (int added = 0; added < 64 && present < wanted_; ++added, ++present) Add();
  Play(now);
  Churn(now);
  for (auto& user : users_) {
    if (!user->client.pending.empty()) user->client.Flush();
  }
}

std::vector<double> Crowd::ListDelays(const std::vector<Arrival>& arrivals, Clock::duration within) {
  const std::lock_guard lock(mutex_);
  std::vector<double> delays;
  for (const auto& user : users_) {
    if (!user->joinedAt) continue;
    for (const Arrival& arrival : arrivals) {
      if (*user->joinedAt > arrival.at) continue;
      const bool seen =
          arrival.number < user->seen.size() && user->seen[arrival.number] != Clock::time_point{};
      if (seen) {
        const auto delay = std::max(Clock::duration{}, user->seen[arrival.number] - arrival.at);
        delays.push_back(std::chrono::duration<double, std::milli>(delay).count());
      } else if (!user->leftAt || *user->leftAt >= arrival.at + within) {
        delays.push_back(std::numeric_limits<double>::infinity());
      }
    }
  }
  return delays;
}

}  // namespace gorvane::bench
