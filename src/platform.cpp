// Platform services: every difference between the Windows and the POSIX build lives here.
#include "platform.h"

#include <sys/stat.h>

#include <ctime>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <utility>

bool path_exists(const std::string& path) { return _access(path.c_str(), 0) == 0; }

bool is_directory(const std::string& path) {
  struct _stat64 status;
  return _stat64(path.c_str(), &status) == 0 && (status.st_mode & _S_IFDIR) != 0;
}

bool is_character_device(const std::string& path) {
  struct _stat64 status;
  return _stat64(path.c_str(), &status) == 0 && (status.st_mode & _S_IFCHR) != 0;
}

bool is_lead_byte(char byte) { return IsDBCSLeadByte(static_cast<BYTE>(byte)) != 0; }

void use_binary_stderr() { _setmode(_fileno(stderr), _O_BINARY); }

void use_binary_stdio() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  use_binary_stderr();
}

namespace {
// The console handler has no context of its own, so its callback is process-wide.
std::mutex console_mutex;
std::function<void()> console_stop;

BOOL WINAPI on_console_event(DWORD event) {
  std::function<void()> stop;
  {
    const std::lock_guard<std::mutex> lock(console_mutex);
    stop = console_stop;
  }
  if (!stop) return FALSE;
  stop();
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(10000);
  return TRUE;
}
}  // namespace

void calendar_fields(std::time_t when, std::tm& local, std::tm& utc) {
  localtime_s(&local, &when);
  gmtime_s(&utc, &when);
}

bool reuse_listening_address() { return false; }

void on_console_stop(std::function<void()> stop) {
  const bool set = static_cast<bool>(stop);
  {
    const std::lock_guard<std::mutex> lock(console_mutex);
    console_stop = std::move(stop);
  }
  SetConsoleCtrlHandler(on_console_event, set ? TRUE : FALSE);
}

void ignore_broken_pipes() {}

const std::vector<IgnoredSignal>& ignored_signals() {
  static const std::vector<IgnoredSignal> none;
  return none;
}

int reload_signal() { return 0; }

void tidy_free_memory() {}

#else
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <csignal>

bool path_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool is_directory(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool is_character_device(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISCHR(status.st_mode);
}

bool is_lead_byte(char) { return false; }

// POSIX streams never translate line ends.
void use_binary_stderr() {}
void use_binary_stdio() {}

void calendar_fields(std::time_t when, std::tm& local, std::tm& utc) {
  localtime_r(&when, &local);
  gmtime_r(&when, &utc);
}

bool reuse_listening_address() { return true; }

void on_console_stop(std::function<void()>) {}

void ignore_broken_pipes() { std::signal(SIGPIPE, SIG_IGN); }

const std::vector<IgnoredSignal>& ignored_signals() {
  static const std::vector<IgnoredSignal> signals = {{SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"}};
  return signals;
}

int reload_signal() { return SIGHUP; }

void tidy_free_memory() {
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}

#endif
