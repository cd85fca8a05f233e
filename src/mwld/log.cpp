// Writing log lines.
#include "mwld/log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "mwld/values.h"
#include "platform.h"

namespace {

// Standard error is the process's, and so is this count of lines it did not take.
std::atomic<std::size_t> failed_lines{0};

std::string now_text() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  std::tm utc{};
  calendar_fields(seconds, local, utc);
  return padded(local.tm_year + 1900, 4) + '-' + padded(local.tm_mon + 1, 2) + '-' +
         padded(local.tm_mday, 2) + ' ' + padded(local.tm_hour, 2) + ':' + padded(local.tm_min, 2) +
         ':' + padded(local.tm_sec, 2) + '.' + padded(static_cast<int>(millis), 3);
}

}  // namespace

void write_log(const Log& log, LogLevel level, std::string_view text) {
  if (log.quiet && level == LogLevel::routine) return;
  std::string line = now_text() + ' ' + std::string(text);
  // One event, one line, whatever the message's values hold.
  for (char& c : line) {
    if (is_control(c)) c = ' ';
  }
  line += '\n';
  const bool written = std::fwrite(line.data(), 1, line.size(), stderr) == line.size();
  // The Windows C runtime buffers standard error when it is a file: a line must not wait there
  // for later ones, nor be lost when the process is ended.
  if (std::fflush(stderr) != 0 || !written) {
    ++failed_lines;
    std::clearerr(stderr);  // so that the next line is judged by its own write
  }
}

std::size_t failed_log_lines() { return failed_lines; }

void write_error(std::string_view text) {
  std::string line = "hl7mwld: " + std::string(text);
  if (!line.ends_with('\n')) line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

std::string log_word(std::string_view text) {
  if (text.empty()) return "-";
  std::string word(text);
  for (char& c : word) {
    if (c == ' ' || is_control(c)) c = '_';
  }
  return word;
}
