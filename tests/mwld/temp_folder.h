// Real temporary folders for the tests of the worklist folder and of applying messages.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>

// A new empty folder in the system's temporary folder, removed with all it holds.
struct TempFolder {
  std::string path;
  TempFolder() {
    std::random_device random;
    std::error_code error;
    for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
      const std::filesystem::path name = std::filesystem::temp_directory_path(error) /
                                         ("hl7mwld_test-" + std::to_string(random()));
      if (std::filesystem::create_directory(name, error)) path = name.string();
    }
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string operator/(const std::string& name) const {
    return (std::filesystem::path(path) / name).string();
  }
};

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string file_bytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// Every name in `folder` and below it, "/" between folders, with its bytes ("<folder>" for a
// folder): what a test expects the whole folder to hold. The journal, whose bytes are the
// program's own business, is left out.
inline std::map<std::string, std::string> contents(const std::string& folder) {
  std::map<std::string, std::string> found;
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().lexically_relative(folder).generic_string();
    if (name == "hl7mwld-journal") continue;
    found[name] = it->is_directory(error) ? "<folder>" : file_bytes(it->path().string());
  }
  return found;
}
