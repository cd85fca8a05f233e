// The MLLP framer: frames across reads, bytes outside frames, 0x0B and 0x1C inside, the size
// limit, empty frames.
#include "mwld/mllp.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using Events = std::vector<std::pair<FrameEvent, std::string>>;

// The text with "<" written as 0x0B (frame start) and ">" as 0x1C (frame end).
std::string bytes_of(std::string text) {
  for (char& c : text) {
    if (c == '<') c = '\x0b';
    if (c == '>') c = '\x1c';
  }
  return text;
}

// Feeds `bytes` in reads of `read_size` bytes and collects the events.
Events events_of(const std::string& bytes, std::size_t max_content, std::size_t read_size) {
  MllpFramer framer;
  framer.max_content = max_content;
  Events events;
  for (std::size_t at = 0; at < bytes.size(); at += read_size) {
    std::string_view read = std::string_view(bytes).substr(at, read_size);
    while (!read.empty()) {
      const FrameEvent event = read_frame(framer, read);
      if (event != FrameEvent::none) events.emplace_back(event, framer.content);
    }
  }
  return events;
}

TEST(ReadFrame, Events) {
  constexpr FrameEvent kComplete = FrameEvent::complete;
  constexpr FrameEvent kDropped = FrameEvent::dropped;
  constexpr FrameEvent kTooLong = FrameEvent::too_long;
  struct Case {
    std::string label;
    std::string bytes;  // "<" is 0x0B, ">" is 0x1C, in the events' contents too
    Events expected;
    std::size_t max_content = 100;
  };
  const Case cases[] = {
      {"one frame", "<MSH|a\rPID|1\r>\r", {{kComplete, "MSH|a\rPID|1\r"}}},
      {"two frames", "<A>\r<B>\r", {{kComplete, "A"}, {kComplete, "B"}}},
      {"bytes outside frames dropped, an end outside a frame too",
       "noise\r\n<A>\r\njunk>\r<B>\rtail",
       {{kComplete, "A"}, {kComplete, "B"}}},
      {"0x0B inside a frame drops it and starts a new one",
       "<AB<C>\r",
       {{kDropped, "AB"}, {kComplete, "C"}}},
      {"0x1C followed by another byte is content", "<A>B>\r", {{kComplete, "A>B"}}},
      {"0x1C followed by LF is content", "<A>\n>\r", {{kComplete, "A>\n"}}},
      {"0x1C before the end is content", "<A>>\r", {{kComplete, "A>"}}},
      {"0x1C then 0x0B", "<A><B>\r", {{kDropped, "A>"}, {kComplete, "B"}}},
      {"empty frame", "<>\r", {{kComplete, ""}}},
      {"a frame that does not end", "<ABC>", {}},
      {"exactly the longest content", "<ABCD>\r", {{kComplete, "ABCD"}}, 4},
      {"one byte more is too long, reported once; the next frame is read",
       "<ABCDEFGH>X>\r<OK>\r",
       {{kTooLong, "ABCDE"}, {kComplete, "OK"}},
       4},
      {"a 0x1C that turns out to be content makes it too long",
       "<ABCD>X>\r",
       {{kTooLong, "ABCD>"}},
       4},
      {"a 0x0B ends the passing over of a long frame",
       "<ABC<D>\r",
       {{kTooLong, "ABC"}, {kComplete, "D"}},
       2},
  };
  for (const Case& c : cases) {
    const std::string bytes = bytes_of(c.bytes);
    Events expected = c.expected;
    for (auto& [event, content] : expected) content = bytes_of(content);
    for (const std::size_t read_size : {bytes.size(), std::size_t{1}, std::size_t{3}}) {
      SCOPED_TRACE(c.label + ", reads of " + std::to_string(read_size));
      EXPECT_EQ(events_of(bytes, c.max_content, read_size), expected);
    }
  }
}

}  // namespace
