// Threads that flush a folder's new files and end its commits (the folder flush and what follows
// it), kept from its first commit to its end: a disk completes many flushes together in about
// the time of one, and starting the threads anew for each commit cost a tenth of its time.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Flushers {
 public:
  explicit Flushers(std::size_t threads);
  Flushers(const Flushers&) = delete;
  Flushers& operator=(const Flushers&) = delete;
  ~Flushers();  // after the work queued has ended

  // Queues `flush`; what it refers to must live until wait() returns.
  void flush(std::function<void()> flush);

  // Returns once every flush queued has ended.
  void wait();

  // Queues `work`, which wait() does not wait for: the end of a commit, which may run while
  // the next commit's files are written and flushed. Such work runs one at a time, in the order
  // it was queued, so that commits end, and their messages are answered, in the order they
  // were made.
  void run_later(std::function<void()> work);

  // Returns once every flush and every work queued has ended.
  void drain();

 private:
  struct Job {
    std::function<void()> work;  // a flush, or work run later
    bool counted;                // a flush that wait() waits for
    std::size_t turn = 0;        // of work run later: its place among them
  };

  void queue(Job job);
  void run();

  std::mutex mutex_;
  std::condition_variable queued_;  // a job queued, or the end
  std::condition_variable ended_;   // a count below reached zero, or work run later ended
  std::deque<Job> queue_;
  std::size_t unfinished_ = 0;     // counted jobs queued or running
  std::size_t running_later_ = 0;  // other jobs queued or running
  std::size_t later_queued_ = 0;   // work run later: turns given
  std::size_t later_ended_ = 0;    // and ended
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};
