// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/http/door.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_map>

#include "server/base/labels.h"
#include "server/base/net.h"

namespace gorvane::server {
namespace {

// A socket that is not there, as the library marks its closed listener.
constexpr int kNoSocket = -1;

constexpr std::string_view kBusy =
    "HTTP/1.1 503 Service Unavailable\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Content-Length: 5\r\n"
    "Retry-After: 1\r\n"
    "Connection: close\r\n"
    "\r\n"
    "busy\n";

// Says what may be sent and closes, on a thread that must not wait: what
// has arrived is read first, so that the close is not a reset.
void SayAndClose(int sock, std::string_view said) {
  [[maybe_unused]] const ssize_t sent = ::send(sock, said.data(), said.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  std::array<char, 4096> sink{};
  for (int i = 0; i < 16 && ::recv(sock, sink.data(), sink.size(), MSG_DONTWAIT) > 0; ++i) {
  }
  ::shutdown(sock, SHUT_WR);
  ::close(sock);
}

// The peer's address as per-address limits count it.
std::string PeerKey(int sock, int ipv6Prefix) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getpeername(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  return AddressKey(address, ipv6Prefix);
}

}  // namespace

HttpDoor::HttpDoor(std::atomic<int>& listener, Answer answer, std::function<HttpHealth()> health,
                   std::function<void(Defence)> defended, int ipv6Prefix)
    : listener_(listener),
      answer_(std::move(answer)),
      health_(std::move(health)),
      defended_(std::move(defended)),
      ipv6Prefix_(ipv6Prefix),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

HttpDoor::~HttpDoor() { ::close(wake_); }

void HttpDoor::LowerPriority() {
  [[maybe_unused]] const int niced = setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
}

void HttpDoor::Stop() {
  stopping_.store(true);
  Wake();
}

void HttpDoor::Wake() const {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
}

void HttpDoor::Run(int listener) {
  poll_ = ::epoll_create1(EPOLL_CLOEXEC);
  Watch(EPOLL_CTL_ADD, wake_, EPOLLIN);
  Watch(EPOLL_CTL_ADD, listener, EPOLLIN);
  for (size_t i = 0; i < kHttpWorkers; ++i) workers_.emplace_back([this] { Work(); });
  bool listening = true;
  std::array<epoll_event, 64> events{};
  while (!stopping_.load()) {
    const int ready = ::epoll_wait(poll_, events.data(), static_cast<int>(events.size()), Timeout());
    for (int e = 0; e < ready; ++e) {
      const epoll_event& event = events[static_cast<size_t>(e)];
      if (event.data.fd == wake_) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(wake_, &count, sizeof count);
        TakeBack();
      } else if (event.data.fd == listener) {
        Accept(listener);
      } else if (Entry* entry = Find(event.data.fd)) {
        if (entry->whole) {
          if (event.events & (EPOLLHUP | EPOLLERR)) entry->gone = true;
        } else {
          Look(*entry);
          // The peer sends no more, and what it sent is not a whole head.
          if (!entry->whole && (event.events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))) entry->gone = true;
        }
      }
    }
    const auto now = Clock::now();
    Tend(now);
    // Accepting while full too: a newcomer may take a place or be answered.
    const bool room = now >= acceptAgain_;
    if (room != listening) {
      Watch(EPOLL_CTL_MOD, listener, room ? uint32_t{EPOLLIN} : 0);
      listening = room;
    }
  }
  Close();
}

HttpDoor::Asks HttpDoor::AsksFor(std::string_view request) {
  for (const auto& [method, asks] :
       {std::pair{"GET ", Asks::kHealth}, std::pair{"HEAD ", Asks::kHealthHead}}) {
    if (!request.starts_with(method)) continue;
    const std::string_view path = request.substr(std::string_view(method).size());
    if (path.starts_with("/healthz ") || path.starts_with("/healthz?")) return asks;
  }
  return Asks::kOther;
}

void HttpDoor::Watch(int op, int sock, uint32_t events) const {
  epoll_event event{};
  event.events = events;
  event.data.fd = sock;
  ::epoll_ctl(poll_, op, sock, &event);
}

HttpDoor::Entry* HttpDoor::Find(int sock) {
  const auto found =
      std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.sock == sock; });
  return found == entries_.end() ? nullptr : &*found;
}

int HttpDoor::Timeout() const {
  auto until = Clock::now() + std::chrono::seconds(1);
  for (const Entry& entry : entries_) {
    // A whole request may be let in as soon as its address's pace allows.
    until = std::min(until, entry.whole ? Clock::now() + kPaceLook : entry.by);
  }
  if (acceptAgain_ > Clock::now()) until = std::min(until, acceptAgain_);
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

void HttpDoor::Accept(int listener) {
  const auto now = Clock::now();
  for (int i = 0; i < 64; ++i) {
    const int sock = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (sock == kNoSocket) {
      // Out of descriptors: the game's connections come first; look again
      // a little later rather than spin on a listener that stays ready.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        acceptAgain_ = now + kStopCheck;
      return;
    }
    entries_.push_back({sock, PeerKey(sock, ipv6Prefix_), 0, now + kHttpIdle});
    Watch(EPOLL_CTL_ADD, sock, EPOLLIN | EPOLLRDHUP | EPOLLET);
    Look(entries_.back());
    // Handed over only once the system has waited for a first byte: one
    // that has sent nothing all that while is not waited for again.
    if (deferred_ && !entries_.back().begun && !entries_.back().gone) {
      entries_.back().gone = true;
      defended_(Defence::kHttpSilent);
    }
    Admit(now);
  }
}

void HttpDoor::Admit(Clock::time_point now) {
  const Entry& newcomer = entries_.back();
  if (newcomer.gone) return;
  // Health is answered at once however full the door is: a watchdog that
  // waited for a place would take a busy server for a dead one.
  if (newcomer.whole && newcomer.asks != Asks::kOther && pace_.Take(newcomer.address, now)) {
    AnswerHealth(newcomer.sock, newcomer.asks);
    entries_.pop_back();
    return;
  }
  std::unordered_map<std::string_view, size_t> held;
  for (const Entry& entry : entries_) ++held[entry.address];
  const size_t mine = held[newcomer.address];
  if (mine <= kHttpHeldPerAddress && entries_.size() <= kHttpHeld) return;
  // Full, the door is shared: the address holding the most places gives
  // its oldest up to one holding fewer, so that any number of addresses
  // each get a share and none can shut another out.
  const auto most = std::max_element(held.begin(), held.end(),
                                     [](const auto& a, const auto& b) { return a.second < b.second; });
  defended_(Defence::kHttpAddressFull);
  if (mine > kHttpHeldPerAddress || mine >= most->second) {
    SayAndClose(newcomer.sock, kBusy);
    entries_.pop_back();
    return;
  }
  const std::string_view top = most->first;
  const auto oldest =
      std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.address == top; });
  Watch(EPOLL_CTL_DEL, oldest->sock, 0);
  if (!oldest->whole) {
    ::close(oldest->sock);
  } else if (oldest->asks == Asks::kOther) {
    SayAndClose(oldest->sock, kBusy);
  } else {
    AnswerHealth(oldest->sock, oldest->asks);
  }
  entries_.erase(oldest);
}

void HttpDoor::TakeBack() {
  std::vector<std::pair<int, size_t>> back;
  {
    const std::lock_guard lock(mutex_);
    back.swap(back_);
  }
  const auto now = Clock::now();
  for (const auto& [sock, served] : back) {
    entries_.push_back({sock, PeerKey(sock, ipv6Prefix_), served, now + kHttpIdle});
    Watch(EPOLL_CTL_ADD, sock, EPOLLIN | EPOLLRDHUP | EPOLLET);
    Look(entries_.back());
  }
}

void HttpDoor::Look(Entry& entry) {
  const ssize_t got = ::recv(entry.sock, peek_.data(), peek_.size(), MSG_PEEK | MSG_DONTWAIT);
  if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    entry.gone = true;
    return;
  }
  if (got < 0) return;
  const auto now = Clock::now();
  if (!entry.begun) {
    entry.begun = true;
    entry.by = now + kHttpReadTime;
  }
  const std::string_view head(peek_.data(), static_cast<size_t>(got));
  // Past the bound it is the worker's to refuse.
  if (head.find("\r\n\r\n") == std::string_view::npos && head.find("\n\n") == std::string_view::npos &&
      head.size() < kHttpRequestBytes)
    return;
  entry.whole = true;
  entry.asks = AsksFor(head);
  entry.by = now + kHttpHoldTime;
  Watch(EPOLL_CTL_MOD, entry.sock, 0);
}

void HttpDoor::Tend(Clock::time_point now) {
  std::erase_if(entries_, [&](Entry& entry) {
    if (entry.gone) {
      ::close(entry.sock);
      return true;
    }
    if (entry.whole && LetIn(entry, now)) return true;
    if (now < entry.by) return false;
    if (!entry.whole) {
      ::close(entry.sock);
      // A kept-alive connection with no next request is not refused.
      if (entry.begun) {
        defended_(Defence::kHttpHeadTimeout);
      } else if (entry.served == 0) {
        defended_(Defence::kHttpSilent);
      }
    } else if (entry.asks == Asks::kOther) {
      SayAndClose(entry.sock, kBusy);
      defended_(Defence::kHttpBusy);
    } else {
      AnswerHealth(entry.sock, entry.asks);
    }
    return true;
  });
}

bool HttpDoor::LetIn(const Entry& entry, Clock::time_point now) {
  if (entry.asks == Asks::kOther) {
    const std::lock_guard lock(mutex_);
    if (queue_.size() >= kHttpWaiting) return false;
  }
  if (!pace_.Take(entry.address, now)) return false;
  if (entry.asks != Asks::kOther) {
    AnswerHealth(entry.sock, entry.asks);
    return true;
  }
  Watch(EPOLL_CTL_DEL, entry.sock, 0);
  {
    const std::lock_guard lock(mutex_);
    queue_.emplace_back(entry.sock, entry.served);
  }
  ready_.notify_one();
  return true;
}

void HttpDoor::AnswerHealth(int sock, Asks asks) const {
  const HttpHealth health = health_();
  std::string said = health.status == 200 ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 503 Service Unavailable\r\n";
  said += "Content-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(health.text.size()) +
          "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";
  if (asks == Asks::kHealth) said += health.text;
  SayAndClose(sock, said);
}

void HttpDoor::Work() {
  LowerPriority();
  for (;;) {
    std::pair<int, size_t> job;
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [&] { return workersStop_ || !queue_.empty(); });
      if (workersStop_) return;
      job = queue_.front();
      queue_.pop_front();
    }
    const bool keep = answer_(job.first, job.second);
    if (keep) {
      const std::lock_guard lock(mutex_);
      back_.emplace_back(job.first, job.second + 1);
    }
    // A place in the queue is free, and maybe a connection is back.
    Wake();
  }
}

void HttpDoor::Close() {
  // With the listener closed, every wait of the workers ends.
  if (const int listener = listener_.exchange(kNoSocket); listener != kNoSocket) ::close(listener);
  {
    const std::lock_guard lock(mutex_);
    workersStop_ = true;
  }
  ready_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
  for (const Entry& entry : entries_) ::close(entry.sock);
  entries_.clear();
  for (const auto& job : queue_) ::close(job.first);
  queue_.clear();
  for (const auto& job : back_) ::close(job.first);
  back_.clear();
  ::close(poll_);
}

}  // namespace gorvane::server
