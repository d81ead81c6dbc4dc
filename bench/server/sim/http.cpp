// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/http.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

namespace gorvane::bench {
namespace {

using namespace std::chrono_literals;

bool Connected(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

// The status and the length of the whole answer once its head is in; the
// status is 0 until then.
struct Head {
  int status = 0;
  size_t total = 0;
};

Head ReadHead(const std::string& bytes) {
  const size_t end = bytes.find("\r\n\r\n");
  if (end == std::string::npos || bytes.size() < 12 || !bytes.starts_with("HTTP/1.")) return {};
  std::string head = bytes.substr(0, end);
  std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
  const size_t length = head.find("\r\ncontent-length:");
  const size_t body = length == std::string::npos ? 0 : std::strtoul(head.c_str() + length + 17, nullptr, 10);
  return {std::atoi(bytes.c_str() + 9), end + 4 + body};
}

std::string Get(const std::string& path, bool close) {
  return "GET " + path + " HTTP/1.1\r\nHost: gorvane\r\n" + (close ? "Connection: close\r\n" : "") + "\r\n";
}

const std::string& HugeRequest() {
  static const std::string request = [] {
    std::string text = "GET / HTTP/1.1\r\nHost: gorvane\r\n";
    for (int i = 0; i < 64; ++i)
      text += "X-Padding-" + std::to_string(i) + ": " + std::string(1000, 'a') + "\r\n";
    return text + "\r\n";
  }();
  return request;
}

// A header that goes on for longer than any deadline at one byte a drip.
const std::string& SlowRequest() {
  static const std::string request =
      "GET /metrics HTTP/1.1\r\nHost: gorvane\r\nX-Slow: " + std::string(4096, 'z');
  return request;
}

constexpr auto kDrip = 300ms;
constexpr auto kLook = 100ms;

}  // namespace

HttpAnswer HttpGet(const std::string& source, const std::string& server, uint16_t port,
                   const std::string& path, std::chrono::milliseconds limit, const std::string& headers) {
  const auto start = Clock::now();
  const auto deadline = start + limit;
  HttpAnswer answer;
  const int fd = DialLoopback(server, port, {.source = source, .nonBlocking = true});
  if (fd < 0) return answer;
  auto wait = [&](short events) {
    pollfd watched{fd, events, 0};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 && ::poll(&watched, 1, static_cast<int>(left)) > 0;
  };
  if (!wait(POLLOUT) || !Connected(fd)) {
    ::close(fd);
    return answer;
  }
  answer.status = 0;
  std::string request = Get(path, true);
  request.insert(request.size() - 2, headers);
  std::string in;
  Head head;
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buffer[16384];
    while (wait(POLLIN)) {
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got <= 0) break;
      in.append(buffer, static_cast<size_t>(got));
      head = ReadHead(in);
      if (head.status != 0 && in.size() >= head.total) break;
    }
  }
  ::close(fd);
  if (head.status != 0 && in.size() >= head.total) {
    answer.status = head.status;
    answer.head = in.substr(0, 512);
    answer.bytes = in.size();
    answer.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  }
  return answer;
}

void HttpTally::Count(const HttpAnswer& answer) {
  if (answer.status <= 0) {
    ++none;
    return;
  }
  ms.push_back(answer.ms);
  bytes += answer.bytes;
  if (answer.status == 200) {
    ++ok;
  } else if (answer.status == 503 && answer.head.ends_with("\r\n\r\nbusy\n")) {
    ++busy;
  } else {
    ++other;
  }
}

Asker::Asker(std::string source, std::string server, uint16_t port, std::vector<std::string> paths,
             std::chrono::milliseconds period, std::string headers)
    : source_(std::move(source)),
      server_(std::move(server)),
      port_(port),
      paths_(std::move(paths)),
      period_(period),
      headers_(std::move(headers)) {}

Asker::~Asker() { End(); }

HttpTally Asker::Take() {
  const std::lock_guard lock(mutex_);
  return std::exchange(tally_, {});
}

void Asker::Step() {
  const auto now = Clock::now();
  if (now < next_) {
    std::this_thread::sleep_for(std::min<Clock::duration>(next_ - now, 50ms));
    return;
  }
  for (const std::string& path : paths_) {
    const HttpAnswer answer = HttpGet(source_, server_, port_, path, 3s, headers_);
    const std::lock_guard lock(mutex_);
    tally_.Count(answer);
  }
  // Late, it goes on from now rather than catching up.
  next_ = std::max(next_ + period_, Clock::now());
}

struct HttpFlood::Slot {
  Kind kind = kHeld;
  std::string source;
  int fd = -1;
  bool connected = false;
  uint64_t answers = 0;
  std::string out;  // still to be sent
  size_t drip = 0;  // of a slow request, bytes sent
  std::string in;
  bool metrics = false;       // the next fast request's path
  Clock::time_point since{};  // connected, or closed while it waits to open again
};

const char* HttpFlood::Name(Kind kind) {
  switch (kind) {
    case kHeld:
      return "held open, silent";
    case kHuge:
      return "64 KiB of headers";
    case kSlow:
      return "a byte every 300 ms";
    case kFast:
      return "GET / and /metrics";
    case kKinds:
      break;
  }
  return "?";
}

HttpFlood::HttpFlood(std::string server, uint16_t port, std::array<size_t, kKinds> connections,
                     std::chrono::milliseconds reopen, size_t sources)
    : server_(std::move(server)),
      port_(port),
      reopen_(reopen),
      sources_(sources),
      epoll_(epoll_create1(EPOLL_CLOEXEC)) {
  for (size_t kind = 0; kind < kKinds; ++kind) {
    for (size_t i = 0; i < connections[kind]; ++i) {
      Slot slot;
      slot.kind = static_cast<Kind>(kind);
      slot.source = "127.0.0." + std::to_string(150 + slots_.size() % sources_);
      slots_.push_back(std::move(slot));
    }
  }
}

HttpFlood::~HttpFlood() {
  End();
  for (Slot& slot : slots_) {
    if (slot.fd >= 0) ::close(slot.fd);
  }
  ::close(epoll_);
}

std::array<HttpFlood::Counts, HttpFlood::kKinds> HttpFlood::Take() {
  const std::lock_guard lock(mutex_);
  std::array<Counts, kKinds> taken = counts_;
  for (size_t kind = 0; kind < kKinds; ++kind) {
    taken[kind].openMean =
        looks_ == 0 ? 0 : static_cast<double>(openSum_[kind]) / static_cast<double>(looks_);
    taken[kind].lifeMs = ended_[kind] == 0 ? 0 : lifeTotal_[kind] / static_cast<double>(ended_[kind]);
  }
  counts_ = {};
  openSum_ = {};
  ended_ = {};
  lifeTotal_ = {};
  looks_ = 0;
  return taken;
}

void HttpFlood::Open(size_t index) {
  Slot& slot = slots_[index];
  slot.fd = DialLoopback(server_, port_, {.source = slot.source, .nonBlocking = true});
  slot.connected = false;
  slot.answers = 0;
  slot.in.clear();
  slot.drip = 0;
  slot.out = slot.kind == kHuge ? HugeRequest() : slot.kind == kFast ? Get("/", false) : std::string();
  slot.metrics = true;
  slot.since = Clock::now();
  {
    const std::lock_guard lock(mutex_);
    ++counts_[slot.kind].connects;
  }
  if (slot.fd < 0) return;
  epoll_event event{};
  event.events = EPOLLOUT | EPOLLIN;
  event.data.u64 = index;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, slot.fd, &event);
}

void HttpFlood::Close(size_t index) {
  Slot& slot = slots_[index];
  ::close(slot.fd);
  slot.fd = -1;
  const auto now = Clock::now();
  const auto since = std::exchange(slot.since, now);
  if (!slot.connected) return;
  const std::lock_guard lock(mutex_);
  --open_[slot.kind];
  ++ended_[slot.kind];
  if (slot.answers == 0) ++counts_[slot.kind].none;
  lifeTotal_[slot.kind] += std::chrono::duration<double, std::milli>(now - since).count();
}

void HttpFlood::Answered(Slot& slot, int status) {
  ++slot.answers;
  const std::lock_guard lock(mutex_);
  Counts& counts = counts_[slot.kind];
  if (status == 200) {
    ++counts.ok;
  } else if (status == 503) {
    ++counts.busy;
  } else {
    ++counts.refused;
  }
}

void HttpFlood::Write(size_t index) {
  Slot& slot = slots_[index];
  while (!slot.out.empty()) {
    const ssize_t sent = ::send(slot.fd, slot.out.data(), slot.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent <= 0) break;
    slot.out.erase(0, static_cast<size_t>(sent));
  }
  // Waiting to write only while there is something to write.
  epoll_event event{};
  event.events = slot.out.empty() ? EPOLLIN : EPOLLIN | EPOLLOUT;
  event.data.u64 = index;
  epoll_ctl(epoll_, EPOLL_CTL_MOD, slot.fd, &event);
}

void HttpFlood::Read(size_t index) {
  Slot& slot = slots_[index];
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::recv(slot.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      Close(index);
      return;
    }
    if (got < 0) return;
    slot.in.append(buffer, static_cast<size_t>(got));
    for (Head head = ReadHead(slot.in); head.status != 0 && slot.in.size() >= head.total;
         head = ReadHead(slot.in)) {
      Answered(slot, head.status);
      slot.in.erase(0, head.total);
      if (slot.kind != kFast) {
        Close(index);
        return;
      }
      slot.out += Get(slot.metrics ? "/metrics" : "/", false);
      slot.metrics = !slot.metrics;
      Write(index);
    }
  }
}

void HttpFlood::Step() {
  std::array<epoll_event, 256> events{};
  const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 10);
  for (int e = 0; e < n; ++e) {
    const size_t index = events[static_cast<size_t>(e)].data.u64;
    Slot& slot = slots_[index];
    if (slot.fd < 0) continue;
    if (!slot.connected) {
      if (!Connected(slot.fd)) {
        Close(index);
        continue;
      }
      slot.connected = true;
      slot.since = Clock::now();
      {
        const std::lock_guard lock(mutex_);
        ++counts_[slot.kind].connected;
        ++open_[slot.kind];
      }
      Write(index);
    }
    if (events[static_cast<size_t>(e)].events & EPOLLOUT) Write(index);
    if (slot.fd >= 0 && events[static_cast<size_t>(e)].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) Read(index);
  }
  const auto now = Clock::now();
  if (now >= nextDrip_) {
    nextDrip_ = now + kDrip;
    for (size_t i = 0; i < slots_.size(); ++i) {
      Slot& slot = slots_[i];
      if (slot.kind != kSlow || !slot.connected || slot.fd < 0 || slot.drip >= SlowRequest().size()) continue;
      if (::send(slot.fd, SlowRequest().data() + slot.drip, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) ++slot.drip;
    }
  }
  if (now >= nextLook_) {
    nextLook_ = now + kLook;
    const std::lock_guard lock(mutex_);
    ++looks_;
    for (size_t kind = 0; kind < kKinds; ++kind) {
      openSum_[kind] += open_[kind];
      counts_[kind].openMax = std::max(counts_[kind].openMax, open_[kind]);
    }
  }
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].fd < 0 && now - slots_[i].since >= reopen_) Open(i);
  }
}

uint64_t PacketsDropped() {
  std::ifstream file("/proc/net/softnet_stat");
  uint64_t dropped = 0;
  for (std::string line; std::getline(file, line);) {
    std::istringstream fields(line);
    std::string processed;
    std::string drops;
    fields >> processed >> drops;
    dropped += std::strtoull(drops.c_str(), nullptr, 16);
  }
  return dropped;
}

double CpuSecondsAtNice(int nice) {
  double seconds = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return 0;
  while (const dirent* task = readdir(tasks)) {
    if (task->d_name[0] == '.') continue;
    std::ifstream file(std::string("/proc/self/task/") + task->d_name + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t name = stat.rfind(')');
    if (name == std::string::npos) continue;
    // After the name: state, then utime and stime as the 12th and 13th
    // fields, nice as the 17th.
    std::istringstream fields(stat.substr(name + 2));
    std::vector<std::string> field(17);
    for (std::string& f : field) fields >> f;
    if (std::atoi(field[16].c_str()) != nice) continue;
    seconds += static_cast<double>(std::atoll(field[11].c_str()) + std::atoll(field[12].c_str()));
  }
  closedir(tasks);
  return seconds / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace gorvane::bench
