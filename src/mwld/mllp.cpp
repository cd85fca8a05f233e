// The MLLP framer's states: outside a frame, inside one, a 0x1C seen, the rest of a long frame.
#include "mwld/mllp.h"

namespace {

constexpr char kStart = '\x0b';
constexpr char kEnd = '\x1c';
constexpr char kEndAfter = '\r';

// Content kept from one frame to the next only up to this size; a larger buffer is released,
// so a connection that once sent a long frame does not hold its memory.
constexpr std::size_t kKeptCapacity = 1 << 16;

}  // namespace

FrameEvent read_frame(MllpFramer& framer, std::string_view& bytes) {
  if (framer.reported) {
    framer.reported = false;
    if (framer.content.capacity() > kKeptCapacity) {
      std::string().swap(framer.content);
    } else {
      framer.content.clear();
    }
  }
  auto report = [&framer](FrameEvent event) {
    framer.reported = true;
    return event;
  };
  while (!bytes.empty()) {
    if (!framer.in_frame) {
      const std::size_t start = bytes.find(kStart);
      bytes.remove_prefix(start == bytes.npos ? bytes.size() : start + 1);
      framer.in_frame = start != bytes.npos;
      continue;
    }
    if (framer.end_pending) {
      framer.end_pending = false;
      if (bytes.front() == kEndAfter) {
        bytes.remove_prefix(1);
        framer.in_frame = false;
        if (framer.skipping) {
          framer.skipping = false;
          framer.content.clear();
          continue;
        }
        return report(FrameEvent::complete);
      }
      // The 0x1C was content; the byte after it is read as any other.
      if (!framer.skipping) {
        framer.content += kEnd;
        if (framer.content.size() > framer.max_content) {
          framer.skipping = true;
          return report(FrameEvent::too_long);
        }
      }
      continue;
    }
    const std::size_t stop = bytes.find_first_of(std::string_view("\x0b\x1c", 2));
    const std::string_view run = bytes.substr(0, stop);
    if (!framer.skipping) {
      const std::size_t room = framer.max_content - framer.content.size();
      if (run.size() > room) {
        framer.content.append(run.substr(0, room + 1));
        bytes.remove_prefix(room + 1);
        framer.skipping = true;
        return report(FrameEvent::too_long);
      }
      framer.content.append(run);
    }
    bytes.remove_prefix(run.size());
    if (bytes.empty()) break;
    const char marker = bytes.front();
    bytes.remove_prefix(1);
    if (marker == kEnd) {
      framer.end_pending = true;
      continue;
    }
    // A 0x0B inside a frame starts a new one. A long frame was reported already.
    if (framer.skipping) {
      framer.skipping = false;
      framer.content.clear();
      continue;
    }
    return report(FrameEvent::dropped);
  }
  return FrameEvent::none;
}

std::string mllp_frame(std::string_view message) {
  std::string frame;
  frame.reserve(message.size() + 3);
  frame += kStart;
  frame += message;
  frame += kEnd;
  frame += kEndAfter;
  return frame;
}
