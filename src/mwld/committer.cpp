// Group commit: everything queued while the last commit ran goes into the next one.
#include "mwld/committer.h"

#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <utility>
#include <vector>

namespace {

// What the error of a message that was not applied adds: its entries in an unknown state.
std::string unknown_text(const MessageResult& result) {
  std::string text;
  for (const OutcomeLine& line : result.unknown) {
    text += (text.empty() ? "; not known to be on the disk: " : ", ") + line.entry_name;
  }
  return text;
}

// The files a message writes, at least one: what its share of a group's lock time is.
std::size_t entries_of(const MessagePlan& plan) {
  std::size_t count = 0;
  for (const OrderStep& step : plan.steps) count += step.entries.size();
  return std::max<std::size_t>(count, 1);
}

}  // namespace

Committer::Committer(asio::io_context& io, Folder folder, std::size_t max_group)
    : io_(io), folder_(std::move(folder)), max_group_(max_group), thread_([this] { run(); }) {}

Committer::~Committer() {
  stop();
  if (thread_.joinable()) thread_.join();
}

void Committer::submit(MessagePlan plan, CommitDone done) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!stopping_) {
      queue_.push_back({std::move(plan), std::move(done), {}});
      wake_.notify_one();
      return;
    }
  }
  post(std::move(done), CommitOutcome{});
}

void Committer::submit_task(std::function<void(Folder&, WorklistIndex&)> task) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return;
  queue_.push_back({{}, {}, std::move(task)});
  wake_.notify_one();
}

void Committer::stop() {
  std::deque<Job> dropped;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    dropped.swap(queue_);
  }
  wake_.notify_one();
  for (Job& job : dropped) {
    if (!job.task) post(std::move(job.done), CommitOutcome{});
  }
}

bool Committer::wait_until(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!ended_.wait_until(lock, deadline, [this] { return finished_; })) return false;
  lock.unlock();
  if (thread_.joinable()) thread_.join();
  return true;
}

void Committer::post(CommitDone done, CommitOutcome outcome) {
  asio::post(io_, [done = std::move(done), outcome = std::move(outcome)]() mutable {
    done(std::move(outcome));
  });
}

void Committer::run() {
  std::vector<Job> group;
  std::vector<const MessagePlan*> plans;
  while (true) {
    std::function<void(Folder&, WorklistIndex&)> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) break;
      if (queue_.front().task) {
        task = std::move(queue_.front().task);
        queue_.pop_front();
      }
      // A group ends before the next task.
      std::size_t weight = 0;
      while (!task && !queue_.empty() && !queue_.front().task &&
             (group.empty() || weight < max_group_)) {
        weight += entries_of(queue_.front().plan);
        group.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
    }
    if (task) {
      task(folder_, index_);
      continue;
    }
    plans.clear();
    for (const Job& job : group) plans.push_back(&job.plan);
    std::vector<MessageResult> results;
    std::string error;
    apply_plans(folder_, index_, plans, results, error);
    for (std::size_t i = 0; i < group.size(); ++i) {
      CommitOutcome outcome{true, results[i].applied, std::move(results[i]), {}};
      if (!outcome.applied) outcome.error = error + unknown_text(outcome.result);
      post(std::move(group[i].done), std::move(outcome));
    }
    group.clear();
  }
  checkpoint_folder(folder_);
  const std::lock_guard<std::mutex> lock(mutex_);
  finished_ = true;
  ended_.notify_all();
}
