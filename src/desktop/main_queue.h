// Work that must run on one particular thread. The process's main thread serves `mainQueue()`
// for its whole life; the worker hands it a function and waits for the result.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

#include "desktop/sync_call.h"

namespace desktop {

class TaskQueue {
 public:
  // Runs `work` on the serving thread and blocks until it has run. Called on the serving thread
  // itself, it runs at once rather than wait for ever on itself. Work submitted before anyone
  // serves waits until the queue is served.
  void runSync(const std::function<void()>& work);

  template <typename F>
  auto call(F&& work) -> std::invoke_result_t<F> {
    return callSync(*this, std::forward<F>(work));
  }

  // Serves the queue on the calling thread, one piece of work at a time in submission order,
  // until `stop` is called.
  void serve();
  void stop();

 private:
  struct Pending {
    const std::function<void()>* work;
    bool done = false;
  };

  std::mutex mutex_;
  std::condition_variable submitted_;
  std::condition_variable finished_;
  std::deque<Pending*> pending_;
  std::optional<std::thread::id> server_;
  bool stopping_ = false;
};

// The queue that the process's main thread serves. It is never destroyed: the worker ends the
// process with exit() while the main thread still waits on it.
TaskQueue& mainQueue();

}  // namespace desktop
