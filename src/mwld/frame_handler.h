// What serve does with one frame's content: the message to apply, or the answer to send at
// once. Knows nothing of sockets or of the folder.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "mwld/ack.h"
#include "mwld/entry.h"
#include "mwld/message.h"
#include "mwld/plan.h"

// A frame as read, with what its acknowledgement echoes and its log line names.
struct Received {
  Fields msh;  // the frame's first MSH segment as read; empty when it has no readable one
  Separators separators;
  std::string control_id;        // MSH-10 as it stands
  std::string message_type;      // as message_type_of gives it, e.g. "ORM^O01"
  std::optional<Answer> answer;  // set: answer at once; nothing of the frame is applied
  MessagePlan plan;              // otherwise: the message to apply
};

// Reads the frame's content as apply reads a file, then plans its message with `options` (their
// date and time being the message's arrival) exactly as apply does. Answers at once with AE: a
// frame without a readable MSH (code 100), with segments before its MSH, with several messages
// or with a batch header or trailer (code 100, echoing the first MSH), or whose message is
// rejected (the rejection's code and field); with AR a message type hl7mwld does not take (200)
// and a fault of hl7mwld's own while reading or planning (207 "internal error: ..."), which
// never escapes as an exception.
Received handle_frame(std::string_view content, const MappingOptions& options);

// For a frame that grew past `max_message` bytes, of which `content` holds the first ones: AE 207
// when `content` starts with a complete MSH segment (one whose end has arrived); nothing
// otherwise, and then no acknowledgement is sent.
std::optional<Received> handle_oversized(std::string_view content, std::size_t max_message);

// The acknowledgement of `received` saying `answer`.
std::string acknowledgement_of(const Received& received, const Answer& answer,
                               const AckStamp& stamp);
