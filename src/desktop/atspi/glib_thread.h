// The one thread that talks to libatspi and Xlib, neither of which is thread-safe. It runs the
// default GLib main context for the life of the process, so D-Bus traffic from applications is
// dispatched (and freed) as it arrives, and runs the work other threads hand it in between.
#pragma once

#include <functional>
#include <type_traits>
#include <utility>

#include "desktop/sync_call.h"

namespace desktop::atspi {

class GlibThread {
 public:
  // The process's one instance; started on first use and never stopped.
  static GlibThread& instance();

  void runSync(const std::function<void()>& work);
  // Runs `work` on the thread after `milliseconds`, without waiting.
  void postAfter(unsigned milliseconds, std::function<void()> work);
  bool onThread() const;

  template <typename F>
  auto call(F&& work) -> std::invoke_result_t<F> {
    return callSync(*this, std::forward<F>(work));
  }

 private:
  GlibThread();
};

// Silences GLib's and libatspi's messages: the process writes nothing to standard error.
void silenceGlibLogging();

}  // namespace desktop::atspi
