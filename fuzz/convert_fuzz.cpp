// Fuzzes a whole conversion: read, select and write on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dump/writer.h"
#include "hl7/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  SegmentList message;
  if (size > 0) {  // fmemopen refuses an empty buffer; an empty input gives no Segment anyway
    std::FILE* input = fmemopen(bytes.data(), size, "rb");
    if (!read_message(input, true, message)) __builtin_trap();
    std::fclose(input);
  }
  char* text = nullptr;
  std::size_t length = 0;
  std::FILE* output = open_memstream(&text, &length);
  write_dump(output, select_segments(message));
  std::fclose(output);
  const std::string dump(text, length);
  std::free(text);

  // Whatever the message, the dump is 18 to 24 CR LF lines from the character set line to
  // the Requested Procedure ID; values never hold an LF.
  std::size_t lines = 0;
  std::size_t last_line_start = 0;
  for (std::size_t i = 0; i < dump.size(); ++i) {
    if (dump[i] != '\n') continue;
    if (i == 0 || dump[i - 1] != '\r') __builtin_trap();
    ++lines;
    if (i + 1 < dump.size()) last_line_start = i + 1;
  }
  if (lines < 18 || lines > 24 || dump.back() != '\n') __builtin_trap();
  if (!dump.starts_with("(0008,0005) CS [ISO_IR 100]\r\n")) __builtin_trap();
  if (dump.compare(last_line_start, 15, "(0040,1001) SH ") != 0) __builtin_trap();
  return 0;
}
