// The floor under any durable worklist writer on this disk: LOOPS parallel loops that each
// write a new file of BYTES, fsync it, rename it to a final name and fsync the folder, and
// nothing else. Prints one JSON line: files made durable per second, the median and 99th
// percentile of the time one file takes, and the CPU time (user and system) per file.
//
// With `ordered`, the floor of a writer that keeps one order of all its changes, as a commit of
// messages in the order they came does: each file takes a place in one sequence before it is
// written, is renamed only after every file before it was, and the loops share the folder flushes
// (a loop whose rename no flush covers yet starts one, or waits for the one running).
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: fsync_floor FOLDER LOOPS FILES BYTES [ordered]\n"
    "  LOOPS threads together make FILES files of BYTES bytes durable in FOLDER.\n";

using Clock = std::chrono::steady_clock;

// The one sequence of the ordered floor and its shared folder flushes.
struct Order {
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t next_place = 0;  // the place the next file takes
  std::size_t renamed = 0;     // files renamed: the places before this one
  std::size_t durable = 0;     // files a finished folder flush covers
  bool flushing = false;
  int failed_errno = 0;  // of a failed folder flush
};

// Renames `temporary` in its place in the order, then waits until a folder flush that began
// after the rename has ended; false with errno set when the rename or that flush failed.
bool rename_in_order(Order& order, std::size_t place, int directory, const std::string& temporary,
                     const std::string& final_name) {
  std::unique_lock<std::mutex> lock(order.mutex);
  order.changed.wait(lock, [&] { return order.renamed == place; });
  const bool renamed = rename(temporary.c_str(), final_name.c_str()) == 0;
  const int code = errno;
  ++order.renamed;  // a failed rename must not stop the files after it
  order.changed.notify_all();
  if (!renamed) {
    errno = code;
    return false;
  }
  while (order.durable <= place) {
    if (order.flushing) {
      order.changed.wait(lock);
      continue;
    }
    order.flushing = true;
    const std::size_t covered = order.renamed;
    lock.unlock();
    const bool flushed = fsync(directory) == 0;
    const int flush_code = errno;
    lock.lock();
    if (!flushed) order.failed_errno = flush_code;
    order.durable = covered;
    order.flushing = false;
    order.changed.notify_all();
  }
  errno = order.failed_errno;
  return order.failed_errno == 0;
}

// One loop's files, each file's time in milliseconds added to `times`; returns the failed
// call's error text, or empty.
std::string run_loop(const std::string& folder, std::size_t loop, std::size_t files,
                     const std::string& content, Order* order, std::vector<double>& times) {
  const int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return folder + ": " + std::strerror(errno);
  std::string failure;
  for (std::size_t i = 0; i < files && failure.empty(); ++i) {
    const std::string name = std::to_string(loop) + "-" + std::to_string(i);
    const std::string temporary = folder + "/floor-" + name + ".tmp";
    const std::string final_name = folder + "/floor-" + name + ".wl";
    const Clock::time_point start = Clock::now();
    std::size_t place = 0;
    if (order) {
      const std::lock_guard<std::mutex> lock(order->mutex);
      place = order->next_place++;
    }
    const int file = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool written =
        file >= 0 &&
        write(file, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
        fsync(file) == 0 && close(file) == 0;
    const int write_errno = errno;
    if (order) {
      // Its place is passed on even when the file failed, so that no later file waits forever.
      const bool durable =
          rename_in_order(*order, place, directory, written ? temporary : "", final_name);
      if (!written || !durable) {
        failure = temporary + ": " + std::strerror(written ? errno : write_errno);
      }
    } else if (!written || rename(temporary.c_str(), final_name.c_str()) != 0 ||
               fsync(directory) != 0) {
      failure = temporary + ": " + std::strerror(errno);
    }
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  close(directory);
  return failure;
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  const bool ordered = argc == 6 && std::string(argv[5]) == "ordered";
  if (argc != 5 && !ordered) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string folder = argv[1];
  const std::size_t loops = std::strtoul(argv[2], nullptr, 10);
  const std::size_t files = std::strtoul(argv[3], nullptr, 10);
  const std::string content(std::strtoul(argv[4], nullptr, 10), 'x');
  if (loops == 0 || files < loops) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::vector<std::string> failures(loops);
  std::vector<std::vector<double>> times(loops);
  std::vector<std::thread> threads;
  Order order;
  const double cpu_before = cpu_seconds();
  const Clock::time_point start = Clock::now();
  for (std::size_t loop = 0; loop < loops; ++loop) {
    // The first loops take one file more when FILES does not divide evenly.
    const std::size_t share = files / loops + (loop < files % loops ? 1 : 0);
    threads.emplace_back([&, loop, share] {
      failures[loop] =
          run_loop(folder, loop, share, content, ordered ? &order : nullptr, times[loop]);
    });
  }
  for (std::thread& thread : threads) thread.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = cpu_seconds() - cpu_before;
  for (const std::string& failure : failures) {
    if (!failure.empty()) {
      std::fputs(("fsync_floor: " + failure + "\n").c_str(), stderr);
      return 1;
    }
  }
  std::vector<double> all;
  for (const std::vector<double>& loop_times : times) {
    all.insert(all.end(), loop_times.begin(), loop_times.end());
  }
  std::sort(all.begin(), all.end());
  // Nearest rank.
  auto percentile = [&all](double share) {
    const auto rank = static_cast<std::size_t>(share * static_cast<double>(all.size()) + 0.999999);
    return all[std::clamp<std::size_t>(rank, 1, all.size()) - 1];
  };
  std::printf(
      "{\"loops\": %zu, \"ordered\": %s, \"files\": %zu, \"seconds\": %.6f, \"per_second\": %.1f, "
      "\"median_ms\": %.3f, \"p99_ms\": %.3f, \"cpu_us_per_file\": %.1f}\n",
      loops, ordered ? "true" : "false", files, seconds, static_cast<double>(files) / seconds,
      percentile(0.5), percentile(0.99), cpu / static_cast<double>(files) * 1e6);
  return 0;
}
