#include "CleanupThread.h"

#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace drossgate::sink {

namespace {

// Enough to ride out a burst of parked messages without holding many of them in memory.
constexpr size_t kMaxQueued = 64;

class Worker {
 public:
  ~Worker() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    work_.notify_all();
    // A forked child never had the parent's thread; its queue is the parent's to do.
    if (thread_ && owner_ == getpid()) {
      thread_->join();
      delete thread_;
    }
  }

  void Push(std::function<void()> work) {
    std::unique_lock lock(mutex_);
    if (!thread_ || owner_ != getpid()) {
      owner_ = getpid();
      queue_.clear();  // a forked child's copy of the parent's queue
      busy_ = false;
      thread_ = new std::thread([this] { Run(); });
    }
    space_.wait(lock, [&] { return queue_.size() < kMaxQueued; });
    queue_.push_back(std::move(work));
    work_.notify_one();
  }

  bool Pending() {
    std::lock_guard lock(mutex_);
    return thread_ && owner_ == getpid() && (!queue_.empty() || busy_);
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      work_.wait(lock, [&] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, and everything is written
      std::function<void()> work = std::move(queue_.front());
      queue_.pop_front();
      busy_ = true;
      lock.unlock();
      try {
        work();
      } catch (...) {
        // Nothing may end the process from here; what was left undone stays parked.
      }
      work = nullptr;  // its captures go on this thread, outside the lock
      lock.lock();
      busy_ = false;
      space_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable space_;  // room in the queue, or the queue written
  std::deque<std::function<void()>> queue_;
  bool busy_ = false;
  bool stop_ = false;
  std::thread* thread_ = nullptr;  // a raw pointer: a forked child must not destroy it
  pid_t owner_ = 0;
};

Worker& TheWorker() {
  // Made on first use, after the platform's own statics, so destroyed (and drained) before them.
  static Worker worker;
  return worker;
}

}  // namespace

void RunOnCleanupThread(std::function<void()> work) {
  TheWorker().Push(std::move(work));
}

bool CleanupPending() {
  return TheWorker().Pending();
}

}  // namespace drossgate::sink
