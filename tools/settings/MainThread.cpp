#include "MainThread.h"

namespace corvassel::settings {

namespace {

struct FollowUp {
  std::shared_ptr<bool> alive;
  std::function<void()> call;
};

gboolean RunFollowUp(gpointer data) {
  auto *followUp = static_cast<FollowUp *>(data);
  if (*followUp->alive && followUp->call) followUp->call();
  return G_SOURCE_REMOVE;
}

void DeleteFollowUp(gpointer data) {
  delete static_cast<FollowUp *>(data);
}

}  // namespace

Worker::Worker() : alive_(std::make_shared<bool>(true)), thread_([this] { loop(); }) {}

Worker::~Worker() {
  *alive_ = false;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  wake_.notify_one();
  thread_.join();
}

void Worker::run(std::function<std::function<void()>()> job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void Worker::loop() {
  for (;;) {
    std::function<std::function<void()>()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    std::function<void()> then = job();
    g_idle_add_full(G_PRIORITY_DEFAULT, RunFollowUp, new FollowUp{alive_, std::move(then)},
                    DeleteFollowUp);
  }
}

}  // namespace corvassel::settings
