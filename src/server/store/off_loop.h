// SPDX-License-Identifier: GPL-3.0-or-later
// Work the loop must not wait for (a database read or write) done on a
// thread of its own, in the order asked; what the loop does with each
// result comes back through a descriptor the loop watches.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace gorvane::server {

class OffLoop {
 public:
  // Runs back on the loop with what the job found.
  using Reply = std::function<void()>;
  // Runs on the worker; may return an empty reply.
  using Job = std::function<Reply()>;

  OffLoop();
  // Every job asked for is done before the worker stops (a statistic owed
  // is written, not lost); replies not yet run are dropped.
  ~OffLoop();
  OffLoop(const OffLoop&) = delete;
  OffLoop& operator=(const OffLoop&) = delete;

  // Readable when replies wait; -1 when the descriptor could not be had.
  int fd() const { return wake_; }
  void Submit(Job job);
  // On the loop: runs the replies of the jobs done so far, in order.
  size_t RunReplies();
  // Jobs asked for whose replies have not run yet.
  size_t pending() const;

 private:
  void Work();

  int wake_ = -1;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Job> jobs_;
  std::vector<Reply> replies_;
  size_t pending_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace gorvane::server
