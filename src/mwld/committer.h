// The one thread that changes the worklist folder for serve: it applies the messages the
// connections hand it in groups, each group under one lock and one commit, and tells each
// message whether all of its changes reached the disk.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "mwld/apply.h"
#include "mwld/folder.h"
#include "mwld/plan.h"
#include "mwld/worklist_index.h"

namespace asio {
class io_context;
}

// What became of one handed message.
struct CommitOutcome {
  bool taken = false;  // false: dropped at stop before a commit took it; nothing applied
  // When taken: true when the message was applied, every change of it on the disk (see
  // apply_plans). False when a folder or disk error, in `error`, stopped its group at this
  // message or before it; `result` then says which of its changes reached the disk and which
  // are in an unknown state, and `error` names the latter too. Sent again, the message gives
  // the same entry names.
  bool applied = false;
  MessageResult result;
  std::string error;
};

using CommitDone = std::function<void(CommitOutcome)>;

class Committer {
 public:
  // Starts the thread, which owns `folder` from now on; a group takes messages while they write
  // fewer than `max_group` entries together (a message writing none counts one), and at least
  // one, so that the lock is held for a bounded number of files.
  Committer(asio::io_context& io, Folder folder, std::size_t max_group);
  Committer(const Committer&) = delete;
  Committer& operator=(const Committer&) = delete;
  ~Committer();  // stops and joins the thread

  // Queues `plan`. Once the commit of the group that took it has ended, `done` runs on `io`;
  // the `done` run in the order their messages were applied, so that the log tells it (those of
  // a group whose commit failed before its renames may come before those of the group before).
  void submit(MessagePlan plan, CommitDone done);

  // Queues `task`, which runs on the thread with the folder and its index between two groups,
  // after the messages queued before it: work on the folder that must not race a commit. A task
  // dropped at stop does not run.
  void submit_task(std::function<void(Folder&, WorklistIndex&)> task);

  // Drops the messages no group has taken yet (their `done` run on `io`, not taken) and lets
  // the thread end after the group it is committing now. Later messages are dropped likewise.
  void stop();

  // Waits until the thread has ended, at most until `deadline`; true when it has (it is then
  // joined).
  bool wait_until(std::chrono::steady_clock::time_point deadline);

 private:
  // A message, or a task when `task` is set.
  struct Job {
    MessagePlan plan;
    CommitDone done;
    std::function<void(Folder&, WorklistIndex&)> task;
  };

  void run();
  void post(CommitDone done, CommitOutcome outcome);

  asio::io_context& io_;
  Folder folder_;
  WorklistIndex index_;  // of the folder: built by a task, then refreshed before each group
  const std::size_t max_group_;
  std::mutex mutex_;
  std::condition_variable wake_;   // a job queued, or stop
  std::condition_variable ended_;  // the thread has ended
  std::deque<Job> queue_;
  bool stopping_ = false;
  bool finished_ = false;
  std::thread thread_;  // last: it starts once everything above is ready
};
