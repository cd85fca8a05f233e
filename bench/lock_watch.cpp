// Watches a worklist folder's lockfile from outside: asks in a tight loop, with F_GETLK, whether
// another process holds a lock on it, and never takes the lock itself, so the writer and the
// worklist servers are not held up. Prints, one line each, as it happens:
//   ready T                  watching (after the file was opened)
//   taken PID T              a process took the lock (PID -1: a lock of an open file
//                            description, whose owner F_GETLK does not tell)
//   held PID T0 T1 MS        it released it: taken at T0, free at T1, MS milliseconds
//   at T PID                 every 50 ms: still watching, the lock held by PID (0: free)
// T are seconds of CLOCK_MONOTONIC, the clock a driver reads with time.monotonic(), so that it
// can tell which message each hold belongs to; a line `at T` tells it that every change before
// T has been printed. Ends after SECONDS, or at SIGTERM or SIGINT; a
// lock still held then is printed as `open PID T0 T1 MS`.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr const char* kUsage =
    "usage: lock_watch LOCKFILE SECONDS\n"
    "  Prints each interval another process holds a lock on LOCKFILE, for at most SECONDS.\n";

constexpr double kBeat = 0.05;  // seconds between `at` lines

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

double now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Sets `pid` to the process holding a lock that would conflict with a write lock on the whole
// file, 0 when there is none, -1 for a lock of an open file description (whose owner F_GETLK
// does not name). False on an error.
bool holder(int file, long& pid) {
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;  // l_start 0, l_len 0: the whole file
  int result;
  do {
    result = fcntl(file, F_GETLK, &probe);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return false;
  pid = probe.l_type == F_UNLCK ? 0 : static_cast<long>(probe.l_pid);
  return true;
}

void print_hold(const char* word, long pid, double taken, double freed) {
  std::printf("%s %ld %.6f %.6f %.3f\n", word, pid, taken, freed, (freed - taken) * 1e3);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const double seconds = std::strtod(argv[2], nullptr);
  if (!(seconds > 0)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  struct sigaction action = {};
  action.sa_handler = request_stop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  const int file = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (file < 0) {
    std::fprintf(stderr, "lock_watch: %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  const double end = now() + seconds;
  std::printf("ready %.6f\n", now());
  std::fflush(stdout);

  long held_by = 0;
  double taken = 0;
  double beat = now();
  for (double t = 0; !stop_requested && t < end;) {
    long pid = 0;
    if (!holder(file, pid)) {
      std::fprintf(stderr, "lock_watch: %s: %s\n", argv[1], std::strerror(errno));
      return 1;
    }
    // The clock is read after the probe, so that a change is never dated before it happened:
    // when this process is preempted between the two, the change is dated late, not early.
    t = now();
    if (t - beat >= kBeat && pid == held_by) {
      beat = t;
      std::printf("at %.6f %ld\n", t, held_by);
      std::fflush(stdout);
    }
    if (pid == held_by) continue;
    if (held_by != 0) print_hold("held", held_by, taken, t);
    held_by = pid;
    taken = t;
    beat = t;
    if (pid != 0) {
      std::printf("taken %ld %.6f\n", pid, t);
      std::fflush(stdout);
    }
  }
  if (held_by != 0) print_hold("open", held_by, taken, now());
  close(file);
  return 0;
}
