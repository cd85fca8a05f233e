// The program name taken from argv[0], and the perror-style report.
#include "arguments.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "messages.h"
#include "platform.h"

namespace {

TEST(ProgramName, FromArgv0) {
  const std::string long_part(256, 'd');
  struct Case {
    std::string argv0;
    std::string name;
  };
  const Case cases[] = {
      {"C:\\bin\\conv.exe", "conv"},
      {"./conv", "conv"},
      {"conv", "conv"},
      {"tools/a.b.exe", "a.b"},
      {".conv", ""},
      {"dir.d/conv", "conv"},
      {"C:conv.exe", "conv"},
      {"Z:\\build/x\\hl7mwl.exe", "hl7mwl"},
      {"", ""},
      {long_part.substr(1) + "/conv", ""},
      {long_part.substr(2) + "/conv", "conv"},
      {long_part + ".exe", ""},
      {long_part.substr(1) + ".exe", long_part.substr(1)},
      {"conv." + long_part.substr(1), ""},
      {"conv." + long_part.substr(2), "conv"},
      // In a double-byte code page (932), 0x83 0x5C is one character, not a separator.
      {"C:\\tools\\\x83\\conv.exe", is_lead_byte('\x83') ? "\x83\\conv" : "conv"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("argv[0]: " + c.argv0);
    EXPECT_EQ(program_name_from(c.argv0), c.name);
  }
}

// The text is the C runtime's own on each platform (msvcrt on Windows), never a fixed one.
TEST(ErrorReport, PathThenTheLibraryText) {
  EXPECT_EQ(error_report("in.hl7", ENOENT), std::string("in.hl7: ") + std::strerror(ENOENT) + "\n");
  EXPECT_EQ(error_report("", EACCES), std::string(std::strerror(EACCES)) + "\n");
}

}  // namespace
