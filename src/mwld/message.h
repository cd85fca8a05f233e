// Bytes to HL7 messages: segment ends, framing bytes, envelopes, and each message's separators.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "hl7/segment.h"

// The delimiters a message declares in MSH-1 and MSH-2; '\0' for one it does not declare.
struct Separators {
  char field = '|';
  char component = '^';
  char repetition = '~';
  char escape = '\\';
  char subcomponent = '&';
};

// One segment cut at the field separator. Element n is field n for every segment, MSH too:
// element 1 of MSH holds the field separator itself and element 2 the encoding characters.
// field(segment, n) reads field n, empty when the segment is shorter.
using Fields = Segment;

// One message as read: its segments in order. `readable` is false for text that does not
// begin with an MSH segment (what stands before the first MSH of a file).
struct Message {
  Separators separators;
  std::vector<Fields> segments;
  bool readable = true;
};

// The messages of a file or of an MLLP frame, in order.
struct Input {
  std::vector<Message> messages;
  bool has_envelope = false;  // a batch or file header or trailer segment was passed over
};

// Cuts `bytes` into messages. Segments end at CR, LF or CR LF, in any mix; empty segments are
// skipped; a UTF-8 byte-order mark at the start is dropped; at a segment's start, a 0x0B and
// then a byte-order mark, each where present, are dropped when "MSH" or nothing follows them; a
// 0x1C ending a message's last segment is MLLP framing and dropped (any other 0x1C is text);
// FHS, BHS, BTS and FTS segments are passed over. A message starts at each segment beginning
// with "MSH" and a fourth byte; segments before the first of them form one message that is not
// readable.
Input split_messages(std::string_view bytes);

// The first segment with this ID, or nullptr.
const Fields* find_segment(const Message& message, std::string_view id);

// Of a field as it stands: the first repetition, its component `component` (from 1) and of
// that the first subcomponent, escapes still in place. Empty when the field is shorter.
std::string_view part_of(std::string_view field, std::size_t component,
                         const Separators& separators);

// The first repetition of a field cut into its components, each cut to its first
// subcomponent, escapes still in place.
std::vector<std::string_view> components_of(std::string_view field, const Separators& separators);
