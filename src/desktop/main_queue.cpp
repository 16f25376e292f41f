#include "desktop/main_queue.h"

namespace desktop {

void TaskQueue::runSync(const std::function<void()>& work) {
  Pending pending{&work};
  {
    std::unique_lock lock(mutex_);
    if (server_ == std::this_thread::get_id()) {
      lock.unlock();
      work();
      return;
    }
    pending_.push_back(&pending);
    submitted_.notify_one();
    finished_.wait(lock, [&] { return pending.done; });
  }
}

void TaskQueue::serve() {
  std::unique_lock lock(mutex_);
  server_ = std::this_thread::get_id();
  for (;;) {
    submitted_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
    if (stopping_) break;
    Pending* next = pending_.front();
    pending_.pop_front();
    lock.unlock();
    (*next->work)();
    lock.lock();
    next->done = true;
    finished_.notify_all();
  }
  server_.reset();
  stopping_ = false;
}

void TaskQueue::stop() {
  std::lock_guard lock(mutex_);
  stopping_ = true;
  submitted_.notify_all();
}

TaskQueue& mainQueue() {
  static TaskQueue* queue = new TaskQueue();
  return *queue;
}

}  // namespace desktop
