// SPDX-License-Identifier: GPL-3.0-or-later
// The HTTP side's door: the connections between accepting and a worker,
// on one thread. It knows nothing of cpp-httplib; the server hands it the
// library's listener and a way to answer one whole request.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "server/base/limits.h"
#include "server/http/bounds.h"

namespace gorvane::server {

enum class Defence;

// What /healthz answers; asked for on the door's thread, so it must not
// wait.
struct HttpHealth {
  int status = 200;
  std::string text;
};

// Each connection waits here until its request's head has arrived whole,
// then until its address's pace and a place in the workers' queue let it in
// (health is answered here at once, without a worker, even when the door is
// full). The door holds kHttpHeld, an address at most kHttpHeldPerAddress;
// when full, a newcomer from an address holding fewer places than the one
// holding most takes that address's oldest place, and any other is
// answered 503 at once.
class HttpDoor {
 public:
  // On a worker: one request whose head has arrived, on a connection that
  // served that many before. Whether the connection stays open for another.
  using Answer = std::function<bool(int sock, size_t served)>;

  // The listener is the library's: the door closes it when it stops, which
  // ends every wait of the workers. Health and defended are called on the
  // door's thread; an IPv6 address counts by its first ipv6Prefix bits.
  HttpDoor(std::atomic<int>& listener, Answer answer, std::function<HttpHealth()> health,
           std::function<void(Defence)> defended, int ipv6Prefix);
  ~HttpDoor();
  HttpDoor(const HttpDoor&) = delete;
  HttpDoor& operator=(const HttpDoor&) = delete;

  // From any thread.
  void Stop();
  // Whether the system hands a connection over only once its first byte
  // has come (or kHttpIdle has passed without one).
  void SetDeferred(bool deferred) { deferred_ = deferred; }
  // Accepts from the listener, with the workers, until Stop().
  void Run(int listener);

  // For the door's thread and its workers: a browser must not take the CPU
  // from the game loop.
  static void LowerPriority();

 private:
  using Clock = std::chrono::steady_clock;
  enum class Asks { kOther, kHealth, kHealthHead };

  struct Entry {
    int sock;
    std::string address;
    size_t served;  // requests answered on the connection before
    // Until a byte comes, then until the head ends, then until it is let in.
    Clock::time_point by;
    bool begun = false;
    bool whole = false;
    bool gone = false;
    Asks asks = Asks::kOther;
  };

  // Whether what has arrived of a request is for /healthz: its line's start
  // is enough to tell.
  static Asks AsksFor(std::string_view request);

  void Wake() const;
  void Watch(int op, int sock, uint32_t events) const;
  Entry* Find(int sock);
  int Timeout() const;
  void Accept(int listener);
  // The newest entry, just accepted: answered when it asks for health,
  // else given a place (maybe another address's) or turned away.
  void Admit(Clock::time_point now);
  // Connections a worker has answered and keeps open, to wait for the next
  // request here.
  void TakeBack();
  // What has arrived of the entry's request, looked at and left for the
  // library to read.
  void Look(Entry& entry);
  // Lets in, in the order they came, the whole requests that may go in now;
  // answers those held their time; drops those that went or never ended.
  void Tend(Clock::time_point now);
  bool LetIn(const Entry& entry, Clock::time_point now);
  void AnswerHealth(int sock, Asks asks) const;
  void Work();
  void Close();

  // How soon a whole request waiting for its address's pace looks again.
  static constexpr std::chrono::milliseconds kPaceLook{1000 / static_cast<int64_t>(kHttpPerSecond)};

  std::atomic<int>& listener_;
  const Answer answer_;
  const std::function<HttpHealth()> health_;
  const std::function<void(Defence)> defended_;
  const int ipv6Prefix_;
  const int wake_;
  std::atomic<bool> stopping_{false};
  bool deferred_ = false;
  // The door's thread's own.
  int poll_ = -1;
  std::vector<Entry> entries_;
  AddressPace pace_{kHttpBurst, kHttpPerSecond};
  Clock::time_point acceptAgain_{};
  std::array<char, kHttpRequestBytes> peek_{};
  // Shared with the workers.
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::pair<int, size_t>> queue_;
  std::vector<std::pair<int, size_t>> back_;
  bool workersStop_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace gorvane::server
