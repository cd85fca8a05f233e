#include "mwld/flushers.h"

#include <system_error>
#include <utility>

// A thread that cannot be started (the process's limit reached) leaves fewer flushes in flight;
// with none, every flush runs on the caller's thread.
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

void Flushers::flush(std::function<void()> flush) {
  if (threads_.empty()) {
    flush();
    return;
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++unfinished_;
    queue_.push_back(std::move(flush));
  }
  queued_.notify_one();
}

void Flushers::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  ended_.wait(lock, [this] { return unfinished_ == 0; });
}

void Flushers::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, with nothing left to do
    std::function<void()> next = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    next();
    lock.lock();
    if (--unfinished_ == 0) ended_.notify_all();
  }
}
