#include "mwld/flushers.h"

#include <system_error>

#include "mwld/folder_system.h"

// A thread that cannot be started (the process's limit reached) leaves fewer flushes in flight;
// with none, flush() flushes on the caller's thread.
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

void Flushers::flush(const std::string& path, std::string& error) {
  if (threads_.empty()) {
    flush_file(path, error);
    return;
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back({&path, &error});
    ++unfinished_;
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
    if (queue_.empty()) return;  // stopping, with nothing left to flush
    const Flush next = queue_.front();
    queue_.pop_front();
    lock.unlock();
    flush_file(*next.path, *next.error);
    lock.lock();
    if (--unfinished_ == 0) ended_.notify_all();
  }
}
