// The worker hands work to the thread that serves a queue and waits for it.
#include "desktop/main_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(TaskQueueTest, RunsWorkOnTheServingThreadInOrder) {
  desktop::TaskQueue queue;
  std::thread::id servedOn;
  std::thread server([&] {
    servedOn = std::this_thread::get_id();
    queue.serve();
  });
  std::vector<int> order;
  std::vector<std::thread::id> ranOn;
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(queue.call([&] {
      order.push_back(i);
      ranOn.push_back(std::this_thread::get_id());
      return i * 2;
    }),
              i * 2);
  }
  queue.stop();
  server.join();
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(order[i], i);
    EXPECT_EQ(ranOn[i], servedOn);
  }
}

TEST(TaskQueueTest, WorkSubmittedBeforeServingWaitsForTheServer) {
  desktop::TaskQueue queue;
  std::atomic<bool> ran{false};
  std::thread worker([&] { queue.runSync([&] { ran = true; }); });
  std::this_thread::yield();
  std::thread server([&] { queue.serve(); });
  worker.join();
  EXPECT_TRUE(ran);
  queue.stop();
  server.join();
}

TEST(TaskQueueTest, CallOnTheServingThreadRunsAtOnce) {
  desktop::TaskQueue queue;
  int inner = 0;
  std::thread server([&] { queue.serve(); });
  queue.runSync([&] { inner = queue.call([] { return 7; }); });
  queue.stop();
  server.join();
  EXPECT_EQ(inner, 7);
}

TEST(TaskQueueTest, StopBeforeServeReturnsAtOnce) {
  desktop::TaskQueue queue;
  queue.stop();
  queue.serve();
}

TEST(TaskQueueTest, ProcessMainQueueIsServedDuringTests) {
  EXPECT_NE(desktop::mainQueue().call([] { return std::this_thread::get_id(); }),
            std::this_thread::get_id());
}

}  // namespace
