// The few operating-system services the program needs, the same on POSIX and on Windows.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

// True when `path` names something that exists, a directory included. Asks for existence
// alone, no permission; on false, errno tells why.
bool path_exists(const std::string& path);

// True when `path` names a directory. Windows refuses to open one as a file (EACCES) where POSIX
// opens it and fails the first read (EISDIR); asking first lets both report the same.
bool is_directory(const std::string& path);

// True when `path` names a character device (a console, /dev/null, NUL), whose input is not
// ended by a 0x1A byte.
bool is_character_device(const std::string& path);

// True when `byte` opens a double-byte character in the active code page, so the byte after
// it is never a separator. Always false outside Windows.
bool is_lead_byte(char byte);

// Makes standard error pass bytes through unchanged, so the program writes its own line ends.
void use_binary_stderr();

// Makes standard input and output pass bytes through unchanged as well.
void use_binary_stdio();

// The local and the UTC calendar fields of `when`; safe to call from any thread.
void calendar_fields(std::time_t when, std::tm& local, std::tm& utc);

// True where a listening socket should reuse its address (POSIX: listening again at once after a
// restart, while old connections wait out TIME_WAIT); false on Windows, where the same option
// would let another program take the port.
bool reuse_listening_address();

// Windows: calls `stop`, from another thread, when the console asks the program to end: Ctrl+C,
// Ctrl+Break, closing the console window, logging off or shutting down. Windows ends the process
// when the handler of the last three returns, so it then waits up to 10 s for the program to end
// by itself. An empty `stop` removes the handler. Does nothing elsewhere, where the same requests
// arrive as SIGINT and SIGTERM.
void on_console_stop(std::function<void()> stop);

// Makes a write to a pipe whose reader has gone fail with EPIPE instead of ending the process
// (POSIX: SIGPIPE ignored). Windows has no such signal.
void ignore_broken_pipes();

// A signal serve logs and otherwise ignores.
struct IgnoredSignal {
  int number;
  const char* name;  // "SIGHUP"
};

// POSIX: SIGUSR1 and SIGUSR2, which would end the process. None on Windows, which has neither.
const std::vector<IgnoredSignal>& ignored_signals();

// The signal that asks serve to read its profile again: SIGHUP on POSIX (systemctl reload);
// 0 on Windows, which has none.
int reload_signal();

// Sorts the allocator's free blocks back into large ones (glibc's malloc_trim; nothing on
// Windows). After a job that freed many small blocks, the next large allocation would otherwise
// do it, wherever it falls: serve calls it once its index is built, before any commit holds the
// folder's lock.
void tidy_free_memory();
