// Lines, fields and the text-mode byte rules of read_message.
#include "hl7/reader.h"

#include <gtest/gtest.h>

#include <string>

#include "hl7/read_chunks.h"
#include "temp_file.h"

namespace {

TEST(ReadMessage, LinesAndFields) {
  struct Case {
    std::string label;
    std::string input;
    SegmentList expected;
    bool eof_byte_ends_input = true;
  };
  // clang-format off
  const Case cases[] = {
      {"empty file", "", {}},
      {"CR LF line ends", "MSH|a|b\r\nPID|1\r\n", {{"MSH", "a", "b"}, {"PID", "1"}}},
      {"last line without line end", "PID|x", {{"PID", "x"}}},
      {"empty line in between", "PID|x\n\nPV1|y\n", {{"PID", "x"}, {}, {"PV1", "y"}}},
      {"empty last line", "PID|x\n\n", {{"PID", "x"}, {}}},
      {"lone CRs are text", "MSH|a\rPID|b\r", {{"MSH", "a\rPID", "b\r"}}},
      {"CR CR LF keeps one CR", "PID|a\r\r\n", {{"PID", "a\r"}}},
      {"trailing bar adds no field", "PID|1||3|\n", {{"PID", "1", "", "3"}}},
      {"two trailing bars add one", "PID|1||3||\n", {{"PID", "1", "", "3", ""}}},
      {"leading bar", "|x\n|\n", {{"", "x"}, {""}}},
      {"0x1A ends the input", "PID|a\n\x1aPV1|b\n", {{"PID", "a"}}},
      {"0x1A inside a line", "PID|a\r\x1a\nPV1|b\n", {{"PID", "a\r"}}},
      {"0x1A from a device is text", "PID|\x1a\n", {{"PID", "\x1a"}}, false},
      {"byte-order mark joins the ID", "\xEF\xBB\xBFMSH|x\n", {{"\xEF\xBB\xBFMSH", "x"}}},
      {"blank before the ID", " PID|1\n", {{" PID", "1"}}},
      {"escapes and NUL stay",
       std::string("PID|a\\S\\b\0\xe9\n", 12),
       {{"PID", std::string("a\\S\\b\0\xe9", 7)}}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const TempFile input(c.input);
    SegmentList message;
    EXPECT_TRUE(read_message(input.get(), c.eof_byte_ends_input, message));
    EXPECT_EQ(message, c.expected);
  }
}

// The same rules where the input crosses the boundary between two blocks of a read.
TEST(ReadMessage, AcrossReadBlocks) {
  const std::size_t block = kReadBlockSize;
  const std::string filler(block, 'A');
  struct Case {
    std::string label;
    std::string input;
    SegmentList expected;
  };
  // clang-format off
  const Case cases[] = {
      {"line longer than a block",
       "PID|" + filler + "|z\nOBR|1\n", {{"PID", filler, "z"}, {"OBR", "1"}}},
      {"CR LF split between two blocks",
       "PID|" + filler.substr(0, block - 5) + "\r\nOBR|1\n",
       {{"PID", filler.substr(0, block - 5)}, {"OBR", "1"}}},
      {"LF first byte of the second block",
       "PID|" + filler.substr(0, block - 4) + "\nOBR|1\n",
       {{"PID", filler.substr(0, block - 4)}, {"OBR", "1"}}},
      {"0x1A in the second block ends the input",
       "PID|" + filler + "\nOBR|1\x1a|2\nPV1|x\n", {{"PID", filler}, {"OBR", "1"}}},
      {"last line without LF in the third block",
       "PID|" + filler + filler + "\nOBR|1", {{"PID", filler + filler}, {"OBR", "1"}}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const TempFile input(c.input);
    SegmentList message;
    EXPECT_TRUE(read_message(input.get(), true, message));
    EXPECT_EQ(message, c.expected);
  }
}

TEST(ReadAll, KeepsEveryByteAcrossBlocks) {
  for (const std::size_t size : {std::size_t{0}, kReadBlockSize - 1, kReadBlockSize,
                                 kReadBlockSize + 1, 3 * kReadBlockSize + 7}) {
    SCOPED_TRACE(size);
    std::string bytes(size, '\x1a');
    for (std::size_t i = 0; i < size; i += 3) bytes[i] = static_cast<char>(i % 251);
    std::string read = "kept:";
    EXPECT_TRUE(read_all(TempFile(bytes).get(), read));
    EXPECT_EQ(read, "kept:" + bytes);
  }
}

}  // namespace
