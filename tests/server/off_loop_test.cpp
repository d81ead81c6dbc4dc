// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/store/off_loop.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>
#include <vector>

namespace gorvane::server {
namespace {

TEST(OffLoop, JobsRunOffTheLoopAndTheirRepliesOnItInOrder) {
  std::vector<int> replied;
  std::atomic<int> done{0};
  {
    OffLoop worker;
    ASSERT_GE(worker.fd(), 0);
    const auto loop = std::this_thread::get_id();
    for (int i = 0; i < 50; ++i) {
      worker.Submit([&, i]() -> OffLoop::Reply {
        EXPECT_NE(std::this_thread::get_id(), loop);
        ++done;
        return [&, i] { replied.push_back(i); };
      });
    }
    while (replied.size() < 50) {
      pollfd wait{worker.fd(), POLLIN, 0};
      ASSERT_EQ(poll(&wait, 1, 5000), 1) << "the loop was not woken";
      worker.RunReplies();
    }
    EXPECT_EQ(worker.pending(), 0u);
    // Owed when the worker stops: done all the same.
    for (int i = 0; i < 20; ++i) {
      worker.Submit([&]() -> OffLoop::Reply {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++done;
        return {};
      });
    }
  }
  EXPECT_EQ(done.load(), 70);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(replied[i], i);
}

}  // namespace
}  // namespace gorvane::server
