// Everything the program tells its user, on standard error.
#pragma once

#include <string>
#include <string_view>

// Writes `text` to standard error with every LF sent as CR LF, on every platform.
void write_message(std::string_view text);

// Writes `text` as write_message does, then ends the process with `status`.
[[noreturn]] void exit_with(int status, std::string_view text);

// The perror-style report for `path` and the error number `error`: the path, ": ", the C
// library's text for the error and a line feed; only the text and the line feed when `path`
// is empty.
std::string error_report(const std::string& path, int error);
