// The desktop thread runs work handed to it from GLib's C frames: an exception must reach the
// thread that waits for the work, not end the process.
#include "desktop/atspi/glib_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

using desktop::atspi::GlibThread;

TEST(GlibThreadTest, AnExceptionReachesTheWaitingThreadAndTheThreadGoesOn) {
  GlibThread& thread = GlibThread::instance();
  EXPECT_THROW(thread.call([]() -> int { throw std::runtime_error("no memory"); }),
               std::runtime_error);
  bool posted = false;
  thread.postAfter(0, [] { throw std::runtime_error("nobody waits"); });
  thread.postAfter(1, [&posted] { posted = true; });
  // Work is run in order of its deadlines; by the time a later call runs, both have.
  for (int i = 0; i < 1000 && !thread.call([&posted] { return posted; }); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(thread.call([&posted] { return posted; }));
  EXPECT_EQ(thread.call([] { return 42; }), 42);
}

}  // namespace
