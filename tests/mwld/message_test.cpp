// Cutting input bytes into messages and segments, and reading parts of fields.
#include "mwld/message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Each message as its segments' fields, "!" first for a message without a readable MSH.
using Shape = std::vector<std::vector<Fields>>;

Shape shape_of(const Input& input) {
  Shape shape;
  for (const Message& message : input.messages) {
    std::vector<Fields> segments = message.segments;
    if (!message.readable) segments.insert(segments.begin(), Fields{"!"});
    shape.push_back(segments);
  }
  return shape;
}

TEST(SplitMessages, SegmentsAndMessages) {
  const Fields msh = {"MSH", "|", "^~\\&", "A"};
  struct Case {
    std::string label;
    std::string bytes;
    Shape expected;
    bool envelope = false;
  };
  // clang-format off
  const Case cases[] = {
      {"nothing", "", {}},
      {"only line ends", "\r\n\r\r\n\n", {}},
      {"CR ends segments", "MSH|^~\\&|A\rPID|1\r", {{msh, {"PID", "1"}}}},
      {"LF, CR LF and CR mixed, no end after the last",
       "MSH|^~\\&|A\nPID|1\r\nPV1|2\rOBR|3", {{msh, {"PID", "1"}, {"PV1", "2"}, {"OBR", "3"}}}},
      {"empty segments skipped", "MSH|^~\\&|A\r\r\n\nPID|1\r\r", {{msh, {"PID", "1"}}}},
      {"byte-order mark dropped", "\xEF\xBB\xBFMSH|^~\\&|A\r", {{msh}}},
      {"byte-order mark only at the start",
       "MSH|^~\\&|A\r\xEF\xBB\xBFPID|1\r", {{msh, {"\xEF\xBB\xBFPID", "1"}}}},
      {"a message at each MSH", "MSH|^~\\&|A\rPID|1\rMSH|^~\\&|A\rPID|2\r",
       {{msh, {"PID", "1"}}, {msh, {"PID", "2"}}}},
      {"MLLP frames", "\x0bMSH|^~\\&|A\rPID|1\r\x1c\r\x0bMSH|^~\\&|A\rPID|2\x1c\r",
       {{msh, {"PID", "1"}}, {msh, {"PID", "2"}}}},
      {"0x1C inside a segment is text", "MSH|^~\\&|A\rPID|a\x1c" "b\r",
       {{msh, {"PID", "a\x1c" "b"}}}},
      {"0x1C ending a segment before the last is text", "MSH|^~\\&|A\rPID|a\x1c\rPV1|b\x1c\r",
       {{msh, {"PID", "a\x1c"}, {"PV1", "b"}}}},
      {"one 0x1C ends a message", "\x0bMSH|^~\\&|A\rPID|a\x1c\x1c\r\x1c\r",
       {{msh, {"PID", "a\x1c\x1c"}}}},
      {"frame end alone before the first MSH", "\x1c\r\x0bMSH|^~\\&|A\r", {{msh}}},
      {"0x0B before another segment is text", "MSH|^~\\&|A\r\x0bPID|1\r",
       {{msh, {"\x0bPID", "1"}}}},
      {"0x0B and a byte-order mark before a line end or MSH are framing",
       "\x0b\r\n\x0b\xEF\xBB\xBF\rMSH|^~\\&|A\r\xEF\xBB\xBFMSH|^~\\&|A\r\x0b\xEF\xBB\xBFMSH|^~\\&|A\r",
       {{msh}, {msh}, {msh}}},
      {"batch envelope passed over",
       "FHS|^~\\&|F\rBHS|^~\\&|B\rMSH|^~\\&|A\rPID|1\rBTS|1\rFTS|1\r",
       {{msh, {"PID", "1"}}}, true},
      {"segments before the first MSH form an unreadable message",
       "PID|1\rOBR|2\rMSH|^~\\&|A\r", {{{"!"}, {"PID", "1"}, {"OBR", "2"}}, {msh}}},
      {"MSH without a field separator is no MSH", "MSH\rPID|1\r", {{{"!"}, {"MSH"}, {"PID", "1"}}}},
      {"MSH and a frame end is no MSH", "MSH\x1c", {{{"!"}, {"MSH"}}}},
      {"MSH and a frame end after a message is another, unreadable one",
       "MSH|^~\\&|A\rMSH\x1c\r", {{msh}, {{"!"}, {"MSH"}}}},
      {"the message's own field separator", "MSH#^~\\&#A#B\rPID#1|2\r",
       {{{"MSH", "#", "^~\\&", "A", "B"}, {"PID", "1|2"}}}},
      {"empty fields kept, a trailing separator adds none", "MSH|^~\\&||\rPID|||3|\r",
       {{{"MSH", "|", "^~\\&", ""}, {"PID", "", "", "3"}}}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Input input = split_messages(c.bytes);
    EXPECT_EQ(shape_of(input), c.expected);
    EXPECT_EQ(input.has_envelope, c.envelope);
  }
}

TEST(SplitMessages, SeparatorsFromMsh2) {
  struct Case {
    std::string msh;
    std::string expected;  // field, component, repetition, escape, subcomponent; "0": none
  };
  // clang-format off
  const Case cases[] = {
      {"MSH|^~\\&|", "|^~\\&"},
      {"MSH|^~\\&#|", "|^~\\&"},  // a truncation character after them changes nothing
      {"MSH*:!/$*", "*:!/$"},
      {"MSH|^~|", "|^~00"},
      {"MSH||", "|0000"},
      {"MSH|", "|0000"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.msh);
    const Separators s = split_messages(c.msh).messages.at(0).separators;
    std::string actual;
    for (char separator : {s.field, s.component, s.repetition, s.escape, s.subcomponent}) {
      actual += separator == '\0' ? '0' : separator;
    }
    EXPECT_EQ(actual, c.expected);
  }
}

TEST(PartOf, FirstRepetitionComponentAndSubcomponent) {
  const Separators standard;
  Separators no_components;
  no_components.component = '\0';
  struct Case {
    std::string field;
    std::size_t component;
    std::string expected;
    Separators separators;
  };
  // clang-format off
  const Case cases[] = {
      {"A^B^C", 1, "A", standard},
      {"A^B^C", 3, "C", standard},
      {"A^B^C", 4, "", standard},
      {"A^B^C", 0, "", standard},
      {"A&a^B&b~X^Y", 2, "B", standard},
      {"~X^Y", 1, "", standard},
      {"A\\S\\B^C", 1, "A\\S\\B", standard},
      {"A^B", 1, "A^B", no_components},
      {"", 1, "", standard},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field + " component " + std::to_string(c.component));
    EXPECT_EQ(part_of(c.field, c.component, c.separators), c.expected);
  }
}

}  // namespace
