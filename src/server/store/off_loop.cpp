// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/store/off_loop.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace gorvane::server {

OffLoop::OffLoop() : wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  thread_ = std::thread([this] { Work(); });
}

OffLoop::~OffLoop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  ready_.notify_one();
  thread_.join();
  if (wake_ >= 0) ::close(wake_);
}

void OffLoop::Submit(Job job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    ++pending_;
  }
  ready_.notify_one();
}

size_t OffLoop::RunReplies() {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t got = ::read(wake_, &count, sizeof count);
  std::vector<Reply> replies;
  {
    std::lock_guard lock(mutex_);
    replies.swap(replies_);
    pending_ -= replies.size();
  }
  for (Reply& reply : replies) {
    if (reply) reply();
  }
  return replies.size();
}

size_t OffLoop::pending() const {
  std::lock_guard lock(mutex_);
  return pending_;
}

void OffLoop::Work() {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
      if (jobs_.empty()) return;  // stopping, and nothing is owed
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    Reply reply = job();
    {
      std::lock_guard lock(mutex_);
      replies_.push_back(std::move(reply));
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
  }
}

}  // namespace gorvane::server
