#include "sim_users.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>

#include "spine/codec.h"
#include "spine/fields.h"

namespace gorvane::bench {
namespace {

std::string_view KindOf(std::string_view message) { return message.substr(0, message.find_first_of(", ")); }

int32_t FieldInt(std::string_view message, size_t index) {
  const Fields fields = SplitCommaText(message);
  return index < fields.size() ? ParseInt32(fields[index]).value_or(0) : 0;
}

void NonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

constexpr size_t kReadBytes = 256 * 1024;

}  // namespace

std::string SourceAddress(int group, size_t n) {
  return "127." + std::to_string(group) + "." + std::to_string((n / 250) % 256) + "." +
         std::to_string(n % 250 + 1);
}

int Dial(const std::string& server, uint16_t port, const std::string& source) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, server.c_str(), &to.sin_addr);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

void SimClient::Send(std::string_view kind, std::string_view argument) {
  pending += kind;
  pending += ' ';
  pending += std::to_string(id);
  pending += ' ';
  pending += argument;
  pending += '\0';
  Flush();
}

void SimClient::Flush() {
  while (!pending.empty() && !closed) {
    const ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) return;
    pending.erase(0, static_cast<size_t>(n));
  }
}

void SimClient::Close() {
  if (fd >= 0) ::close(fd);
  fd = -1;
  closed = true;
}

int AnswerLikeTheClient(SimClient& client, std::string_view message, bool asks) {
  if (!asks) return 0;
  const std::string_view kind = KindOf(message);
  int lists = 0;
  if (kind == "S_GREETING") {
    lists = FieldInt(message, 1) == client.id ? 2 : 1;
  } else if (kind == "S_QUIT" || kind == "S_ABNORMAL") {
    lists = 1;
  } else if (kind == "S_CREATE" || kind == "S_PJOIN" || kind == "S_PBYE" || kind == "S_RENAME" ||
             kind == "S_RESULT" || kind == "S_QUITGAME") {
    lists = 2;
  }
  if (lists >= 1) client.Send("G_LIST");
  if (lists >= 2) client.Send("G_PLIST");
  return lists;
}

Percentiles Summarize(std::vector<double> samples) {
  if (samples.empty()) return {};
  std::sort(samples.begin(), samples.end());
  const size_t n = samples.size();
  const size_t p99 = std::min(n - 1, static_cast<size_t>(std::ceil(0.99 * static_cast<double>(n))) - 1);
  return {samples[n / 2], samples[p99], n};
}

Worker::~Worker() = default;

void Worker::Begin(bool otherMachines) {
  stop_ = false;
  thread_ = std::thread([this, otherMachines] {
    // Simulated machines yield to the server and the measuring clients.
    if (otherMachines) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
    while (!stop_) Step();
  });
}

void Worker::End() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

// ---------------------------------------------------------------- crowd

struct Crowd::User {
  SimClient client;
  bool party = false;
  bool leader = false;
  size_t leaderIndex = 0;
  int32_t partyNumber = 0;  // the leader's
  int joinedMembers = 0;
  bool sentJoin = false;
  bool leaving = false;
  std::optional<testing::ScriptedPlayer> player;
  Clock::time_point next{};
  std::optional<Clock::time_point> restartAt;
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
  user->client.fd = Dial(server_, port_, SourceAddress(1, nextAddress_++));
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
    return;
  }
  if (kind == "S_CONNECT") {
    client.id = FieldInt(message, 1);
    client.Send("G_JOIN", "u" + std::to_string(index));
    return;
  }
  if (kind == "S_GREETING" && FieldInt(message, 1) == client.id) {
    client.joined = true;
    ++joined_;
    if (user.leader) client.Send("P_CREATE");
  }
  listsAsked_ += static_cast<uint64_t>(AnswerLikeTheClient(client, message, asks_));
  if (!user.party) return;
  if (user.player) user.player->Receive(message);
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
  } else if (kind == "S_RESULT" && user.leader) {
    ++games_;
    user.restartAt = Clock::now() + std::chrono::milliseconds(200);
  }
}

void Crowd::Play(Clock::time_point now) {
  for (size_t index = 0; index < users_.size(); index += settings_.partyEvery) {
    for (size_t seat = 0; seat < 3 && index + seat < users_.size(); ++seat) {
      User& user = *users_[index + seat];
      if (!user.client.joined) continue;
      if (!user.leader && !user.sentJoin && users_[index]->partyNumber != 0) {
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

// ---------------------------------------------------------------- probes

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

// ---------------------------------------------------------------- attackers

const char* Attacker::Name(Kind kind) {
  switch (kind) {
    case Kind::kIdleSockets:
      return "sockets that never join";
    case Kind::kWrongPasswords:
      return "wrong-password logins";
    case Kind::kPartyCreates:
      return "party creates";
    case Kind::kRenames:
      return "renames";
    case Kind::kChat:
      return "lobby chat flood";
    case Kind::kLongChat:
      return "60 KB chat lines with CR/LF";
    case Kind::kSilentAsker:
      return "questions, answers never read";
    case Kind::kLists:
      return "list requests, answers read";
  }
  return "?";
}

Attacker::Attacker(std::string server, uint16_t port, Kind kind)
    : server_(std::move(server)),
      port_(port),
      kind_(kind),
      // Each attack from a machine of its own: one cut off earlier must not
      // stand in the way of the next.
      source_(SourceAddress(3, static_cast<size_t>(kind))),
      clients_(kind == Kind::kIdleSockets ? 64 : 8) {}

Attacker::~Attacker() {
  End();
  for (SimClient& client : clients_) client.Close();
}

void Attacker::Open(size_t slot) {
  SimClient& client = clients_[slot];
  client = SimClient();
  client.fd = Dial(server_, port_, source_);
  ++connects_;
  if (client.fd < 0) {
    client.closed = true;
    return;
  }
  NonBlocking(client.fd);
}

void Attacker::Step() {
  static thread_local std::array<char, kReadBytes> buffer;
  std::vector<pollfd> fds;
  for (size_t slot = 0; slot < clients_.size(); ++slot) {
    SimClient& client = clients_[slot];
    if (client.closed || client.fd < 0) Open(slot);
    if (client.closed) continue;
    // Read what came: the id first, everything after it too unless this
    // attacker never reads.
    const bool reads = kind_ != Kind::kSilentAsker || client.id == 0;
    if (reads) {
      const ssize_t n = ::recv(client.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        ++endings_;
        client.Close();
        continue;
      }
      if (n > 0) bytesRead_ += static_cast<uint64_t>(n);
      if (n > 0 && client.id == 0) {
        client.framer.Feed(std::string_view(buffer.data(), static_cast<size_t>(n)),
                           [&](std::string_view message) {
                             if (KindOf(message) != "S_CONNECT" || client.id != 0) return;
                             client.id = FieldInt(message, 1);
                             ++admitted_;
                             if (kind_ == Kind::kIdleSockets) return;
                             client.Send("G_JOIN", "attacker");
                           });
      }
    }
    if (kind_ != Kind::kIdleSockets && client.id != 0 && client.pending.empty()) {
      const std::string id = std::to_string(client.id);
      auto repeat = [&](const std::string& command, size_t bytes) {
        while (client.pending.size() < bytes) client.pending += command;
      };
      switch (kind_) {
        case Kind::kWrongPasswords:
          repeat("G_LOGIN " + id + " alice wrong-guess" + std::string(1, '\0'), 62 * 1024);
          break;
        case Kind::kPartyCreates:
          repeat("P_CREATE " + id + " *" + std::string(1, '\0'), 4096);
          break;
        case Kind::kRenames:
          repeat("G_RENAME " + id + " attacker" + std::string(1, '\0'), 4096);
          break;
        case Kind::kChat:
          repeat("G_CHAT " + id + " flood" + std::string(1, '\0'), 4096);
          break;
        case Kind::kLongChat: {
          std::string line = "G_CHAT " + id + " ";
          while (line.size() < 60000) line += "SYS: fake\r\n";
          repeat(line + '\0', 60001);
          break;
        }
        case Kind::kSilentAsker:
          repeat("G_INFO " + id + " " + id + std::string(1, '\0'), 4096);
          break;
        case Kind::kLists:
          repeat("G_LIST " + id + " *" + std::string(1, '\0'), 4096);
          break;
        case Kind::kIdleSockets:
          break;
      }
    }
    client.Flush();
    fds.push_back({client.fd, static_cast<short>(POLLIN | (client.pending.empty() ? 0 : POLLOUT)), 0});
  }
  // Full speed, but no spinning while every socket is full.
  poll(fds.data(), fds.size(), 1);
}

}  // namespace gorvane::bench
