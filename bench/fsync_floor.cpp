// The floor under any durable worklist writer on this disk: LOOPS parallel loops that each
// write a new file of BYTES, fsync it, rename it to a final name and fsync the folder, and
// nothing else. Prints one JSON line: files made durable per second, the median and 99th
// percentile of the time one file takes, and the CPU time (user and system) per file.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: fsync_floor FOLDER LOOPS FILES BYTES\n"
    "  LOOPS threads together make FILES files of BYTES bytes durable in FOLDER.\n";

using Clock = std::chrono::steady_clock;

// One loop's files, each file's time in milliseconds added to `times`; returns the failed
// call's error text, or empty.
std::string run_loop(const std::string& folder, std::size_t loop, std::size_t files,
                     const std::string& content, std::vector<double>& times) {
  const int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return folder + ": " + std::strerror(errno);
  std::string failure;
  for (std::size_t i = 0; i < files && failure.empty(); ++i) {
    const std::string name = std::to_string(loop) + "-" + std::to_string(i);
    const std::string temporary = folder + "/floor-" + name + ".tmp";
    const std::string final_name = folder + "/floor-" + name + ".wl";
    const Clock::time_point start = Clock::now();
    const int file = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (file < 0 ||
        write(file, content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
        fsync(file) != 0 || close(file) != 0 ||
        rename(temporary.c_str(), final_name.c_str()) != 0 || fsync(directory) != 0) {
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
  if (argc != 5) {
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
  const double cpu_before = cpu_seconds();
  const Clock::time_point start = Clock::now();
  for (std::size_t loop = 0; loop < loops; ++loop) {
    // The first loops take one file more when FILES does not divide evenly.
    const std::size_t share = files / loops + (loop < files % loops ? 1 : 0);
    threads.emplace_back(
        [&, loop, share] { failures[loop] = run_loop(folder, loop, share, content, times[loop]); });
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
      "{\"loops\": %zu, \"files\": %zu, \"seconds\": %.6f, \"per_second\": %.1f, "
      "\"median_ms\": %.3f, \"p99_ms\": %.3f, \"cpu_us_per_file\": %.1f}\n",
      loops, files, seconds, static_cast<double>(files) / seconds, percentile(0.5),
      percentile(0.99), cpu / static_cast<double>(files) * 1e6);
  return 0;
}
