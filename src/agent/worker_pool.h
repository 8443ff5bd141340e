// A fixed set of threads running queued jobs in arrival order: where the transports answer
// requests that run host code, so that reading (and so cancelling) goes on meanwhile.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zanthe::agent {

// Brackets each run of jobs a worker takes back to back, without waiting in between: a host can take
// a lock its jobs all need (the interpreter's) once for the run instead of once per job, which saves
// a hand-over of that lock between threads per job under load. Both empty: no bracket.
struct JobRunBracket {
  std::function<void()> enter;
  std::function<void()> leave;
};

class WorkerPool {
 public:
  explicit WorkerPool(unsigned threads, JobRunBracket bracket = {}) : bracket_(std::move(bracket)) {
    if (threads == 0) threads = 1;
    workers_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
  }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  // Runs every job already queued, then joins the threads.
  ~WorkerPool() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    ready_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  void submit(std::function<void()> job) {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    ready_.notify_one();
  }

  [[nodiscard]] std::size_t size() const { return workers_.size(); }

 private:
  void work() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = take_front();
      }
      if (bracket_.enter) bracket_.enter();
      // Never waits inside the bracket: the run ends as soon as the queue is empty.
      while (job) {
        job();
        std::lock_guard lock(mutex_);
        job = jobs_.empty() ? std::function<void()>() : take_front();
      }
      if (bracket_.leave) bracket_.leave();
    }
  }

  std::function<void()> take_front() {
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    return job;
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  JobRunBracket bracket_;
  std::vector<std::thread> workers_;
};

}  // namespace zanthe::agent
