// Temporary files for tests of the functions that read and write C streams.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

#include "mwld/temp_folder.h"

// A binary file of its own, in a new temporary folder, that holds `bytes`, positioned at its
// start; removed with its folder. Not std::tmpfile: on Windows that picks names that test
// processes running side by side can share.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes = "") {
    if (!folder_.path.empty()) file_ = std::fopen((folder_ / "file").c_str(), "w+b");
    if (file_ == nullptr) throw std::runtime_error("no temporary file in " + folder_.path);
    std::fwrite(bytes.data(), 1, bytes.size(), file_);
    std::rewind(file_);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { std::fclose(file_); }  // before the folder goes
  std::FILE* get() const { return file_; }

 private:
  TempFolder folder_;
  std::FILE* file_ = nullptr;
};

// Everything in `file`, from its start.
inline std::string contents_of(std::FILE* file) {
  std::string bytes;
  std::rewind(file);
  for (int c; (c = std::fgetc(file)) != EOF;) bytes += static_cast<char>(c);
  return bytes;
}
