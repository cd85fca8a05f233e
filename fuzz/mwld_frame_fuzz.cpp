// Fuzzes what serve does with a peer's bytes: the bytes as one frame's content, as the start of
// a frame that grew too long, and as a stream cut into frames by the MLLP framer. No exception
// escapes (one would end serve; here it ends the run); every answer is one well-formed
// acknowledgement frame; every plan passes check_plan.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mwld/ack.h"
#include "mwld/frame_handler.h"
#include "mwld/mllp.h"
#include "plan_check.h"

namespace {

// Small, so that the fuzzer reaches frames that are too long.
constexpr std::size_t kMaxContent = 256;

void require(bool holds) {
  if (!holds) __builtin_trap();
}

// `frame` is one MLLP frame: 0x0B; MSH, MSA and (for anything but AA) ERR, each ended by CR;
// 0x1C 0x0D. No other byte below 0x20 stands inside. Cut at the acknowledgement's own field
// separator, the byte after "MSH", MSA holds MSA-1 saying `code` and at most MSA-2 and MSA-3.
void check_acknowledgement(std::string_view frame, AckCode code) {
  require(frame.size() > 7 && frame.front() == '\x0b' && frame.ends_with("\x1c\r"));
  const std::string_view body = frame.substr(1, frame.size() - 3);
  for (const char c : body) require(static_cast<unsigned char>(c) >= 0x20 || c == '\r');
  require(body.starts_with("MSH") && body.back() == '\r');
  const char separator = body[3];

  std::vector<std::string_view> segments;
  for (std::size_t start = 0; start < body.size();) {
    const std::size_t end = body.find('\r', start);
    segments.push_back(body.substr(start, end - start));
    start = end + 1;
  }
  const std::string_view ids[] = {"MSH", "MSA", "ERR"};
  require(segments.size() == (code == AckCode::accept ? 2 : 3));
  for (std::size_t i = 0; i < segments.size(); ++i) {
    require(segments[i].size() > 3 && segments[i].starts_with(ids[i]) &&
            segments[i][3] == separator);
  }

  std::vector<std::string_view> msa;
  for (std::string_view rest = segments[1];;) {
    const std::size_t end = rest.find(separator);
    msa.push_back(rest.substr(0, end));
    if (end == rest.npos) break;
    rest.remove_prefix(end + 1);
  }
  require(msa.size() <= (code == AckCode::accept ? 3 : 4) && msa[1] == ack_code_text(code));
}

void acknowledge(const Received& received, const Answer& answer) {
  const AckStamp stamp{"20261207120000+0100", "ACK0001"};
  check_acknowledgement(mllp_frame(acknowledgement_of(received, answer, stamp)), answer.code);
}

void check_received(const Received& received) {
  check_plan(received.plan);
  if (received.answer) {
    // An answer at once refuses the frame, and nothing of it is applied.
    require(received.answer->code != AckCode::accept && received.plan.steps.empty());
    acknowledge(received, *received.answer);
    return;
  }
  // A planned message is answered after its commit, with any of the codes.
  for (const AckCode code : {AckCode::accept, AckCode::reject, AckCode::error}) {
    acknowledge(received, Answer{code, {kApplicationInternalError, "folder: full", "", 0}, 0});
  }
}

void check_oversized(std::string_view content) {
  const std::optional<Received> received = handle_oversized(content, kMaxContent);
  if (!received) return;
  require(received->answer.has_value());
  check_received(*received);
}

struct Event {
  FrameEvent event;
  std::string content;
};

// The framer's events for `bytes` arriving `piece` bytes at a time.
std::vector<Event> events_of(std::string_view bytes, std::size_t piece) {
  MllpFramer framer;
  framer.max_content = kMaxContent;
  std::vector<Event> events;
  while (!bytes.empty()) {
    std::string_view read = bytes.substr(0, piece);
    bytes.remove_prefix(read.size());
    while (!read.empty()) {
      const FrameEvent event = read_frame(framer, read);
      if (event != FrameEvent::none) events.push_back({event, framer.content});
    }
  }
  return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  MappingOptions options;
  options.date = "20261207";
  options.time = "120000";

  check_received(handle_frame(bytes, options));
  check_oversized(bytes);

  // However the bytes are cut into reads, the framer finds the same frames.
  const std::vector<Event> events = events_of(bytes, bytes.size());
  const std::vector<Event> byte_by_byte = events_of(bytes, 1);
  require(events.size() == byte_by_byte.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Event& event = events[i];
    require(event.event == byte_by_byte[i].event && event.content == byte_by_byte[i].content);
    require(event.content.find('\x0b') == std::string::npos);
    if (event.event == FrameEvent::too_long) {
      require(event.content.size() == kMaxContent + 1);
      check_oversized(event.content);
    } else {
      require(event.content.size() <= kMaxContent);
    }
    if (event.event == FrameEvent::complete) check_received(handle_frame(event.content, options));
  }
  return 0;
}
