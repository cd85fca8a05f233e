#include "mwld/flushers.h"

#include <system_error>
#include <utility>

#include "mwld/folder_system.h"

// A thread that cannot be started (the process's limit reached) leaves fewer flushes in flight;
// with none, every job runs on the caller's thread.
Flushers::Flushers(std::size_t threads) {
  try {
    for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
  } catch (const std::system_error&) {
  }
}

Flushers::~Flushers() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void Flushers::flush(std::function<void()> flush) { queue({std::move(flush), true}); }

void Flushers::run_later(std::function<void()> work) { queue({std::move(work), false}); }

void Flushers::queue(Job job) {
  if (threads_.empty()) {
    job.work();
    return;
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++(job.counted ? unfinished_ : running_later_);
    if (!job.counted) job.turn = later_queued_++;
    queue_.push_back(std::move(job));
  }
  queued_.notify_one();
}

void Flushers::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  ended_.wait(lock, [this] { return unfinished_ == 0; });
}

void Flushers::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  ended_.wait(lock, [this] { return unfinished_ == 0 && running_later_ == 0; });
}

void Flushers::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, with nothing left to do
    Job next = std::move(queue_.front());
    queue_.pop_front();
    // The work before it was taken from the queue before it: it is running or has ended.
    if (!next.counted) ended_.wait(lock, [&] { return later_ended_ == next.turn; });
    lock.unlock();
    next.work();
    lock.lock();
    if (!next.counted) ++later_ended_;
    std::size_t& left = next.counted ? unfinished_ : running_later_;
    if (--left == 0 || !next.counted) ended_.notify_all();
  }
}
