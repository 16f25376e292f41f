// The test binary's main thread plays the worker; a thread of its own serves the main queue for
// the whole run, as the process's main thread does.
#include <gtest/gtest.h>

#include <thread>

#include "desktop/main_queue.h"

namespace {

class MainQueueServer : public ::testing::Environment {
 public:
  void SetUp() override {
    server_ = std::thread([] { desktop::mainQueue().serve(); });
  }
  void TearDown() override {
    desktop::mainQueue().stop();
    server_.join();
  }

 private:
  std::thread server_;
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new MainQueueServer);
  return RUN_ALL_TESTS();
}
