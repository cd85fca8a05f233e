// Threads that run a folder's flushes while its committing thread goes on: a commit's record is
// flushed into the journal while the commit writes its files. Kept from the folder's first
// commit to its end: starting a thread anew for each commit cost a tenth of its time.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class Flushers {
 public:
  explicit Flushers(std::size_t threads);
  Flushers(const Flushers&) = delete;
  Flushers& operator=(const Flushers&) = delete;
  ~Flushers();  // after the flushes queued have ended

  // Queues `flush`; what it refers to must live until wait() returns.
  void flush(std::function<void()> flush);

  // Returns once every flush queued has ended.
  void wait();

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable queued_;  // a flush queued, or the end
  std::condition_variable ended_;   // every flush queued has ended
  std::deque<std::function<void()>> queue_;
  std::size_t unfinished_ = 0;  // flushes queued or running
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};
