// Delimiter splitting with the token rules of a repeated getline over the text.
#include "hl7/split_on.h"

#include <algorithm>

void split_on(const std::string& text, char delimiter, std::vector<std::string>& tokens) {
  // Room for every token at once: a growing list would move all its strings at each step and
  // keep up to half its room unused, for a whole message held in memory.
  tokens.reserve(tokens.size() + std::count(text.begin(), text.end(), delimiter) + 1);
  std::size_t start = 0;
  // Stopping when the position reaches the end is what drops the empty token after a final
  // delimiter, and what gives an empty text no token.
  while (start < text.size()) {
    std::size_t end = text.find(delimiter, start);
    if (end == std::string::npos) end = text.size();
    tokens.emplace_back(text, start, end - start);
    start = end + 1;
  }
}

std::vector<std::string> split_on(const std::string& text, char delimiter) {
  std::vector<std::string> tokens;
  split_on(text, delimiter, tokens);
  return tokens;
}
