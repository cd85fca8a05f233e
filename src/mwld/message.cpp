// Splitting input bytes into messages and segments, and reading parts of fields.
#include "mwld/message.h"

#include <algorithm>

#include "hl7/split_on.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr char kFrameStart = '\x0b';
constexpr char kFrameEnd = '\x1c';
constexpr std::string_view kEnvelopeIds[] = {"FHS", "BHS", "BTS", "FTS"};

bool starts_message(std::string_view segment) {
  return segment.size() >= 4 && segment.substr(0, 3) == "MSH";
}

bool is_envelope(std::string_view segment) {
  const std::string_view id = segment.substr(0, 3);
  return std::find(std::begin(kEnvelopeIds), std::end(kEnvelopeIds), id) != std::end(kEnvelopeIds);
}

// A 0x0B and a byte-order mark at the start of a segment, in that order, are framing when
// nothing or "MSH" follows them: senders put them before a message, and a segment's text never
// starts with them.
std::string_view without_framing(std::string_view segment) {
  std::string_view rest = segment;
  if (rest.starts_with(kFrameStart)) rest.remove_prefix(1);
  if (rest.starts_with(kByteOrderMark)) rest.remove_prefix(kByteOrderMark.size());
  return rest.empty() || starts_message(rest) ? rest : segment;
}

// The MSH segment's separators: MSH-1 is the byte after "MSH", MSH-2 lists the component,
// repetition, escape and subcomponent characters, in that order.
Separators separators_of(std::string_view msh) {
  Separators separators;
  separators.field = msh[3];
  std::string_view encoding = msh.substr(4);
  encoding = encoding.substr(0, encoding.find(separators.field));
  char* const declared[] = {&separators.component, &separators.repetition, &separators.escape,
                            &separators.subcomponent};
  for (std::size_t i = 0; i < std::size(declared); ++i) {
    *declared[i] = i < encoding.size() ? encoding[i] : '\0';
  }
  return separators;
}

// Cuts one segment at the field separator. MSH counts its field separator as field 1.
Fields fields_of(std::string_view segment, char separator, bool is_msh) {
  Fields fields;
  if (is_msh) {
    fields.emplace_back("MSH");
    fields.emplace_back(1, separator);
    segment.remove_prefix(4);
  }
  split_on(std::string(segment), separator, fields);
  return fields;
}

}  // namespace

Input split_messages(std::string_view bytes) {
  // Each message's segments as views first: which segment is a message's last is known only
  // at the next MSH or at the end.
  struct Segments {
    bool readable;
    std::vector<std::string_view> segments;
  };
  std::vector<Segments> found;
  Input input;
  if (bytes.starts_with(kByteOrderMark)) bytes.remove_prefix(kByteOrderMark.size());
  while (!bytes.empty()) {
    const std::size_t end = std::min(bytes.find_first_of("\r\n"), bytes.size());
    const std::string_view segment = without_framing(bytes.substr(0, end));
    bytes.remove_prefix(std::min(end + 1, bytes.size()));
    if (segment.empty()) continue;
    if (is_envelope(segment)) {
      input.has_envelope = true;
      continue;
    }
    if (starts_message(segment)) {
      found.push_back({true, {}});
    } else if (found.empty()) {
      found.push_back({false, {}});
    }
    found.back().segments.push_back(segment);
  }
  for (Segments& message : found) {
    std::string_view& last = message.segments.back();
    if (last.back() == kFrameEnd) last.remove_suffix(1);
    if (last.empty()) message.segments.pop_back();
    if (message.segments.empty()) continue;
    // "MSH" and a frame end is no header: without the 0x1C it has no field separator.
    if (message.readable && !starts_message(message.segments.front())) message.readable = false;
    const Separators separators =
        message.readable ? separators_of(message.segments.front()) : Separators{};
    Message& read = input.messages.emplace_back(Message{separators, {}, message.readable});
    read.segments.reserve(message.segments.size());
    for (std::size_t i = 0; i < message.segments.size(); ++i) {
      read.segments.push_back(
          fields_of(message.segments[i], separators.field, message.readable && i == 0));
    }
  }
  return input;
}

const Fields* find_segment(const Message& message, std::string_view id) {
  for (const Fields& segment : message.segments) {
    if (!segment.empty() && segment[0] == id) return &segment;
  }
  return nullptr;
}

namespace {

// The text up to the first `separator`, or all of it when the separator is not declared.
std::string_view before(std::string_view text, char separator) {
  return separator == '\0' ? text : text.substr(0, text.find(separator));
}

}  // namespace

std::vector<std::string_view> components_of(std::string_view field, const Separators& separators) {
  std::vector<std::string_view> components;
  std::string_view rest = before(field, separators.repetition);
  while (true) {
    const std::size_t end =
        separators.component == '\0' ? rest.npos : rest.find(separators.component);
    components.push_back(before(rest.substr(0, end), separators.subcomponent));
    if (end == rest.npos) break;
    rest.remove_prefix(end + 1);
  }
  return components;
}

std::string_view part_of(std::string_view field, std::size_t component,
                         const Separators& separators) {
  const std::vector<std::string_view> components = components_of(field, separators);
  return component >= 1 && component <= components.size() ? components[component - 1]
                                                          : std::string_view();
}
