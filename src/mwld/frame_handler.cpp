// Frames to messages: one message per frame, then the same planning as apply.
#include "mwld/frame_handler.h"

#include <utility>

#include "mwld/mllp.h"

namespace {

Answer rejected(Rejection reason, std::size_t sequence) {
  return Answer{AckCode::reject, std::move(reason), sequence};
}

// Echoes the MSH of `message` into `received`.
void take_header(const Message& message, Received& received) {
  received.msh = message.segments.front();
  received.separators = message.separators;
  received.control_id = field(received.msh, 10);
  const std::string& type = field(received.msh, 9);
  received.message_type = std::string(part_of(type, 1, message.separators));
  const std::string_view trigger = part_of(type, 2, message.separators);
  if (!trigger.empty()) {
    received.message_type += '^';
    received.message_type += trigger;
  }
}

// Which of the message's segments a rejection names: 1 when the message has exactly one of
// them, unknown otherwise.
std::size_t sequence_of(const Message& message, const std::string& segment) {
  std::size_t count = 0;
  for (const Fields& fields : message.segments) {
    if (!fields.empty() && fields[0] == segment) ++count;
  }
  return count == 1 ? 1 : 0;
}

}  // namespace

Received handle_frame(std::string_view content, const MappingOptions& options) {
  // The frame's bytes as a file would hold them, so that serve and apply read the same.
  const Input input = split_messages(mllp_frame(content));
  Received received;
  const Message* first = nullptr;
  for (const Message& message : input.messages) {
    if (message.readable) {
      first = &message;
      break;
    }
  }
  if (!first) {
    received.answer = rejected({kSegmentSequenceError, "no readable MSH segment", "MSH", 0}, 0);
    return received;
  }
  take_header(*first, received);
  if (!input.messages.front().readable) {
    received.answer =
        rejected({kSegmentSequenceError, "segments before the MSH segment", "MSH", 0}, 1);
  } else if (input.messages.size() > 1) {
    received.answer =
        rejected({kSegmentSequenceError, "several messages in one frame", "MSH", 0}, 2);
  } else if (input.has_envelope) {
    received.answer =
        rejected({kSegmentSequenceError, "batch header or trailer in the frame", "", 0}, 0);
  }
  if (received.answer) return received;

  received.plan = plan_message(*first, options);
  if (received.plan.rejection) {
    const std::size_t sequence = sequence_of(*first, received.plan.rejection->segment);
    received.answer = rejected(*received.plan.rejection, sequence);
  }
  return received;
}

std::optional<Received> handle_oversized(std::string_view content, std::size_t max_message) {
  // The frame's first segment with text, read as split_messages reads a whole frame: only line
  // ends and byte-order marks may stand before it.
  const std::size_t text = content.find_first_not_of("\r\n\xEF\xBB\xBF");
  const std::size_t end = content.find_first_of("\r\n", text);
  if (end == content.npos) return std::nullopt;
  const Input input = split_messages(mllp_frame(content.substr(0, end)));
  if (input.messages.empty() || !input.messages.front().readable) return std::nullopt;
  Received received;
  take_header(input.messages.front(), received);
  received.answer =
      rejected({kApplicationInternalError,
                "message longer than " + std::to_string(max_message) + " bytes", "", 0},
               0);
  return received;
}

std::string acknowledgement_of(const Received& received, const Answer& answer,
                               const AckStamp& stamp) {
  return acknowledgement(received.msh.empty() ? nullptr : &received.msh, received.separators,
                         answer, stamp);
}
