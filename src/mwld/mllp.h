// MLLP framing: finding the messages in a connection's bytes, and wrapping an answer in a frame.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// What a connection's framer has read so far. A frame is 0x0B, the content, 0x1C 0x0D.
struct MllpFramer {
  std::size_t max_content = 0;  // the longest content accepted
  bool in_frame = false;        // a 0x0B has started a frame that has not ended yet
  bool end_pending = false;     // the frame's last byte so far is a 0x1C that may end it
  bool skipping = false;        // the frame was too long: the rest of it is passed over
  bool reported = false;        // `content` belongs to the event last returned
  std::string content;
};

enum class FrameEvent {
  none,      // every byte was read and no frame ended
  complete,  // `content` holds the frame's content, framing removed
  dropped,   // a 0x0B came inside a frame: `content` holds the frame dropped, and the 0x0B
             // has started a new one
  too_long,  // more than `max_content` bytes arrived without the frame's end: `content`
             // holds the first max_content + 1 of them; the rest of the frame is passed over
};

// Reads from the front of `bytes`, removing what it reads, up to the byte that completes an
// event, and returns that event. Bytes outside frames are dropped; only 0x1C 0x0D ends a frame
// (a 0x1C followed by anything else is content), also when the two arrive in different reads.
// `content` stays valid until the next call.
FrameEvent read_frame(MllpFramer& framer, std::string_view& bytes);

// `message` as one MLLP frame.
std::string mllp_frame(std::string_view message);
