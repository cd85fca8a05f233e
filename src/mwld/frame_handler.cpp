// Frames to messages: one message per frame, then the same planning as apply.
#include "mwld/frame_handler.h"

#include <algorithm>
#include <utility>

#include "mwld/mllp.h"

namespace {

// The header fields an acknowledgement echoes end at MSH-18.
constexpr std::size_t kEchoedFields = 19;

// AE for a fault in the message, which the sender must correct; AR for a message type hl7mwld
// does not take and for a fault of its own, which a resend may get past.
Answer rejected(Rejection reason, std::size_t sequence) {
  const bool not_the_message = reason.internal || reason.code == kUnsupportedMessageType;
  return Answer{not_the_message ? AckCode::reject : AckCode::error, std::move(reason), sequence};
}

// Echoes the MSH of `message` into `received`: only the fields an acknowledgement uses, so that
// a header of a million empty fields is not kept while the message is committed.
void take_header(const Message& message, Received& received) {
  const Fields& msh = message.segments.front();
  received.msh.assign(msh.begin(), msh.begin() + std::min(msh.size(), kEchoedFields));
  received.separators = message.separators;
  received.control_id = field(received.msh, 10);
  received.message_type = message_type_of(message);
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

// The frame's answer, or its plan, as handle_frame says; may throw.
void handle(std::string_view content, const MappingOptions& options, Received& received) {
  // The frame's bytes as a file would hold them, so that serve and apply read the same.
  const Input input = split_messages(mllp_frame(content));
  const Message* first = nullptr;
  for (const Message& message : input.messages) {
    if (message.readable) {
      first = &message;
      break;
    }
  }
  if (!first) {
    received.answer = rejected({kSegmentSequenceError, "no readable MSH segment", "MSH", 0}, 0);
    return;
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
  if (received.answer) return;

  received.plan = plan_message(*first, options);
  if (received.plan.rejection) {
    const std::size_t sequence = sequence_of(*first, received.plan.rejection->segment);
    received.answer = rejected(*received.plan.rejection, sequence);
  }
}

}  // namespace

Received handle_frame(std::string_view content, const MappingOptions& options) {
  Received received;
  // One frame's fault, even one of hl7mwld's own, must not end the server and the messages
  // of the other connections with it.
  const std::optional<Rejection> fault = guarded([&] { handle(content, options, received); });
  if (fault) {
    received.plan = {};
    received.answer = rejected(*fault, 0);
  }
  return received;
}

std::optional<Received> handle_oversized(std::string_view content, std::size_t max_message) {
  // The frame's first segment with text, read as split_messages reads a whole frame: only line
  // ends and whole byte-order marks may stand before it.
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  std::size_t text = 0;
  while (text < content.size()) {
    if (content[text] == '\r' || content[text] == '\n') {
      ++text;
    } else if (content.substr(text).starts_with(kByteOrderMark)) {
      text += kByteOrderMark.size();
    } else {
      break;
    }
  }
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
