// Temporary files for tests of the functions that read and write C streams.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

using TempFile = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// A temporary binary file that holds `bytes`, positioned at its start; removed when closed.
inline TempFile temp_file_holding(const std::string& bytes) {
  TempFile file(std::tmpfile(), std::fclose);
  std::fwrite(bytes.data(), 1, bytes.size(), file.get());
  std::rewind(file.get());
  return file;
}

// Everything in `file`, from its start.
inline std::string contents_of(std::FILE* file) {
  std::string bytes;
  std::rewind(file);
  for (int c; (c = std::fgetc(file)) != EOF;) bytes += static_cast<char>(c);
  return bytes;
}
