// Temporary files for tests of the functions that read and write C streams.
#pragma once

#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

// A binary file of its own in the system's temporary folder that holds `bytes`, positioned at
// its start, and is removed when it goes. Not std::tmpfile: on Windows that picks names that
// test processes running side by side can share.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes = "") {
    std::random_device random;
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    for (int attempt = 0; attempt < 100 && file_ == nullptr; ++attempt) {
      path_ = (folder / ("hl7mwl_test-" + std::to_string(random()) + "-" +
                         std::to_string(random())))
                  .string();
      if (!std::filesystem::exists(path_, error)) file_ = std::fopen(path_.c_str(), "w+b");
    }
    if (file_ == nullptr) throw std::runtime_error("no temporary file in " + folder.string());
    std::fwrite(bytes.data(), 1, bytes.size(), file_);
    std::rewind(file_);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    std::fclose(file_);
    std::remove(path_.c_str());
  }
  std::FILE* get() const { return file_; }

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
};

// Everything in `file`, from its start.
inline std::string contents_of(std::FILE* file) {
  std::string bytes;
  std::rewind(file);
  for (int c; (c = std::fgetc(file)) != EOF;) bytes += static_cast<char>(c);
  return bytes;
}
