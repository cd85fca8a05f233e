// Fuzzes split_on: the first byte is the delimiter, the rest the text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "hl7/split_on.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const char delimiter = static_cast<char>(data[0]);
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::vector<std::string> tokens = split_on(text, delimiter);

  // Rejoined with the delimiter, the tokens give back the text less one final delimiter.
  std::string joined;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (tokens[i].find(delimiter) != std::string::npos) __builtin_trap();
    if (i > 0) joined += delimiter;
    joined += tokens[i];
  }
  std::string expected = text;
  if (!expected.empty() && expected.back() == delimiter) expected.pop_back();
  if (joined != expected) __builtin_trap();
  return 0;
}
