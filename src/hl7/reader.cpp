// The HL7 reader: lines and their text-mode byte rules, independent of the platform's streams.
#include "hl7/reader.h"

#include <string>
#include <string_view>

#include "hl7/read_chunks.h"
#include "hl7/split_on.h"

namespace {

constexpr char kEndOfFileByte = '\x1a';

// Stores one line as a Segment; a CR is dropped only when an LF followed it.
void add_line(std::string& line, bool ended_by_lf, SegmentList& message) {
  if (ended_by_lf && !line.empty() && line.back() == '\r') line.pop_back();
  split_on(line, '|', message.emplace_back());
  line.clear();
}

}  // namespace

bool read_message(std::FILE* input, bool eof_byte_ends_input, SegmentList& message) {
  std::string line;
  const bool read = read_chunks(input, [&](std::string_view chunk) {
    const std::size_t eof_byte = eof_byte_ends_input ? chunk.find(kEndOfFileByte) : chunk.npos;
    chunk = chunk.substr(0, eof_byte);
    for (std::size_t lf; (lf = chunk.find('\n')) != chunk.npos; chunk.remove_prefix(lf + 1)) {
      line.append(chunk.substr(0, lf));
      add_line(line, true, message);
    }
    line.append(chunk);
    return eof_byte == std::string_view::npos;
  });
  // Bytes after the last LF form one more line; an input ending in LF has none.
  if (!line.empty()) add_line(line, false, message);
  return read;
}
