// Threads that flush a folder's new files, kept from its first commit to its end: a disk
// completes many flushes together in about the time of one, and starting the threads anew for
// each commit cost a tenth of its time.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Flushers {
 public:
  explicit Flushers(std::size_t threads);
  Flushers(const Flushers&) = delete;
  Flushers& operator=(const Flushers&) = delete;
  ~Flushers();  // after the flushes queued have ended

  // Queues a flush of the file `path` (flush_file), which sets `error` when it fails; both must
  // live until wait() returns.
  void flush(const std::string& path, std::string& error);

  // Returns once every flush queued has ended.
  void wait();

 private:
  struct Flush {
    const std::string* path;
    std::string* error;
  };

  void run();

  std::mutex mutex_;
  std::condition_variable queued_;  // a flush queued, or the end
  std::condition_variable ended_;   // the last unfinished flush ended
  std::deque<Flush> queue_;
  std::size_t unfinished_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};
