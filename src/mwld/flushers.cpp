#include "mwld/flushers.h"

#include "mwld/folder_system.h"

Flushers::Flushers(std::size_t threads) {
  for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
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
