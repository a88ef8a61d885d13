// Work handed between the window's main thread and one worker thread, so that nothing that can
// take seconds (systemctl, the session bus) ever blocks the window.
#pragma once

#include <glib.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace corvassel::settings {

// Runs jobs one at a time on a thread of its own; each job's follow-up runs on the main thread,
// unless this object is gone by then. Made and destroyed on the main thread.
class Worker {
 public:
  Worker();
  ~Worker();
  Worker(const Worker &) = delete;
  Worker &operator=(const Worker &) = delete;

  // job runs on the worker; what it returns runs on the main thread.
  void run(std::function<std::function<void()>()> job);

 private:
  void loop();

  std::shared_ptr<bool> alive_;  // read and cleared on the main thread only
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<std::function<void()>()>> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace corvassel::settings
