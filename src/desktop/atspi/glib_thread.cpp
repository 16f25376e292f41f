#include "desktop/atspi/glib_thread.h"

#include <glib.h>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace desktop::atspi {
namespace {

struct SyncTask {
  const std::function<void()>* work = nullptr;
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::exception_ptr failure;
};

// Called from GLib's C frames, which no exception may cross: it is carried to the waiting thread.
gboolean runSyncTask(gpointer data) {
  auto* task = static_cast<SyncTask*>(data);
  try {
    (*task->work)();
  } catch (...) {
    task->failure = std::current_exception();
  }
  std::lock_guard lock(task->mutex);
  task->finished = true;
  task->done.notify_one();
  return G_SOURCE_REMOVE;
}

gboolean runPosted(gpointer data) {
  auto* work = static_cast<std::function<void()>*>(data);
  try {
    (*work)();
  } catch (...) {
    // Nobody waits for posted work; what it could not do is left undone.
  }
  return G_SOURCE_REMOVE;
}

void deletePosted(gpointer data) { delete static_cast<std::function<void()>*>(data); }

std::thread::id glibThreadId;

GLogWriterOutput silentWriter(GLogLevelFlags, const GLogField*, gsize, gpointer) {
  return G_LOG_WRITER_HANDLED;
}
void silentHandler(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

}  // namespace

void silenceGlibLogging() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_log_set_writer_func(silentWriter, nullptr, nullptr);
    g_log_set_default_handler(silentHandler, nullptr);
  });
}

GlibThread::GlibThread() {
  std::mutex mutex;
  std::condition_variable started;
  bool running = false;
  std::thread([&] {
    GMainContext* context = g_main_context_default();
    g_main_context_acquire(context);
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    {
      std::lock_guard lock(mutex);
      glibThreadId = std::this_thread::get_id();
      running = true;
      started.notify_one();
    }
    g_main_loop_run(loop);
  }).detach();
  std::unique_lock lock(mutex);
  started.wait(lock, [&] { return running; });
}

GlibThread& GlibThread::instance() {
  static GlibThread* thread = new GlibThread();  // never destroyed: exit() may come at any time
  return *thread;
}

bool GlibThread::onThread() const { return std::this_thread::get_id() == glibThreadId; }

void GlibThread::runSync(const std::function<void()>& work) {
  if (onThread()) {
    work();
    return;
  }
  SyncTask task;
  task.work = &work;
  g_main_context_invoke(g_main_context_default(), runSyncTask, &task);
  std::unique_lock lock(task.mutex);
  task.done.wait(lock, [&] { return task.finished; });
  if (task.failure) std::rethrow_exception(task.failure);
}

void GlibThread::postAfter(unsigned milliseconds, std::function<void()> work) {
  GSource* source = g_timeout_source_new(milliseconds);
  g_source_set_callback(source, runPosted, new std::function<void()>(std::move(work)),
                        deletePosted);
  g_source_attach(source, g_main_context_default());
  g_source_unref(source);
}

}  // namespace desktop::atspi
