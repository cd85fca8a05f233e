// The block read loop shared by the message reader and the whole-file reader.
#include "hl7/read_chunks.h"

#include <cerrno>
#include <vector>

bool read_chunks(std::FILE* input, const std::function<bool(std::string_view)>& take) {
  std::vector<char> buffer(kReadBlockSize);
  std::size_t count;
  while ((count = std::fread(buffer.data(), 1, buffer.size(), input)) > 0) {
    if (!take(std::string_view(buffer.data(), count))) break;
  }
  return !std::ferror(input);
}

bool read_all(std::FILE* input, std::string& bytes) {
  return read_chunks(input, [&bytes](std::string_view chunk) {
    bytes.append(chunk);
    return true;
  });
}

bool read_file(const std::string& path, std::string& bytes) {
  std::FILE* const input = std::fopen(path.c_str(), "rb");
  if (input == nullptr) return false;
  const bool read = read_all(input, bytes);
  const int error = errno;
  std::fclose(input);
  errno = error;
  return read;
}
