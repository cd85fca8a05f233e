// The HL7 reader: lines and their text-mode byte rules, independent of the platform's streams.
#include "hl7/reader.h"

#include <string>

#include "hl7/split_on.h"

namespace {
constexpr char kEndOfFileByte = '\x1a';
}  // namespace

bool read_message(std::istream& input, bool eof_byte_ends_input, SegmentList& message) {
  if (!input.good()) return false;
  std::string line;
  while (std::getline(input, line)) {
    const bool ended_by_lf = !input.eof();
    if (eof_byte_ends_input) {
      const std::size_t eof_byte = line.find(kEndOfFileByte);
      if (eof_byte != std::string::npos) {
        // Nothing from the 0x1A on is input; at the start of a line there is no line left.
        if (eof_byte > 0) split_on(line.substr(0, eof_byte), '|', message.emplace_back());
        break;
      }
    }
    if (ended_by_lf && !line.empty() && line.back() == '\r') line.pop_back();
    split_on(line, '|', message.emplace_back());
  }
  return !input.bad();
}
