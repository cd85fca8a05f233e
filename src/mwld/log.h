// serve's log: one line per event on standard error, each line written whole.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Routine lines: connections opened and closed in the ordinary way, messages answered AA,
// the server starting and stopping. Problem lines: AR and AE answers, connections refused or
// dropped, frames dropped, server errors. A quiet log writes problem lines only.
enum class LogLevel { routine, problem };

struct Log {
  bool quiet = false;
};

// Writes the local time ("YYYY-MM-DD HH:MM:SS.mmm"), a blank, `text` (control characters as
// blanks) and a line end with one write, unless the log is quiet and the line routine. A line
// that cannot be written (standard error closed, or a pipe whose reader has gone) is counted
// and the program goes on.
void write_log(const Log& log, LogLevel level, std::string_view text);

// The log lines that could not be written since the process started.
std::size_t failed_log_lines();

// Writes "hl7mwld: ", `text` and a line end (unless `text` ends with one) on standard error:
// how apply, show and serve report what stops them.
void write_error(std::string_view text);

// A value as one word of a log line: "-" when empty; blanks and control characters as "_".
std::string log_word(std::string_view text);
