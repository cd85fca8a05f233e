// The one writer of standard error.
#include "messages.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void write_message(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  std::fwrite(out.data(), 1, out.size(), stderr);
}

void exit_with(int status, std::string_view text) {
  write_message(text);
  std::exit(status);
}

std::string error_report(const std::string& path, int error) {
  std::string report = path.empty() ? std::string() : path + ": ";
  return report + std::strerror(error) + "\n";
}
