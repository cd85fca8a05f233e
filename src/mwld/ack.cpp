// Building acknowledgements: separators, the version's ERR layout, escaping the reason.
#include "mwld/ack.h"

#include <charconv>
#include <iterator>
#include <vector>

#include "mwld/values.h"

namespace {

constexpr std::string_view kCodingSystem = "HL70357";

struct ErrorCodeRow {
  int code;
  std::string_view text;
};

// HL7 table 0357, the codes hl7mwld answers with.
constexpr ErrorCodeRow kErrorCodes[] = {
    {kSegmentSequenceError, "Segment sequence error"},
    {kRequiredFieldMissing, "Required field missing"},
    {kDataTypeError, "Data type error"},
    {kTableValueNotFound, "Table value not found"},
    {kUnsupportedMessageType, "Unsupported message type"},
    {kApplicationInternalError, "Application internal error"},
};

// The MSH of a frame without a readable one.
const Fields kNoMsh = {"MSH", "|", "^~\\&", "", "", "", "", "", "", "", "", "P", "2.5"};

// Separators MSH-2 leaves out are taken from the standard ones, so that the ERR segment can be
// written; a standard one the message uses otherwise is replaced by a free character.
Separators completed(Separators separators) {
  char* const slots[] = {&separators.component, &separators.repetition, &separators.escape,
                         &separators.subcomponent};
  constexpr std::string_view kStandard = "^~\\&";
  constexpr std::string_view kSpare = "^~\\&#$%*+!?@";
  auto taken = [&separators](char c) {
    return c == separators.field || c == separators.component || c == separators.repetition ||
           c == separators.escape || c == separators.subcomponent;
  };
  for (std::size_t i = 0; i < std::size(slots); ++i) {
    if (*slots[i] != '\0') continue;
    char pick = kStandard[i];
    for (std::size_t k = 0; taken(pick) && k < kSpare.size(); ++k) pick = kSpare[k];
    *slots[i] = pick;
  }
  return separators;
}

// Text written into a field: the message's delimiters as escape sequences; control characters,
// which would end the segment or the frame, as blanks.
std::string escaped(std::string_view text, const Separators& separators) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    char code = '\0';
    if (c == separators.escape) {
      code = 'E';
    } else if (c == separators.field) {
      code = 'F';
    } else if (c == separators.component) {
      code = 'S';
    } else if (c == separators.subcomponent) {
      code = 'T';
    } else if (c == separators.repetition) {
      code = 'R';
    }
    if (code != '\0') {
      out += separators.escape;
      out += code;
      out += separators.escape;
    } else {
      out += is_control(c) ? ' ' : c;
    }
  }
  return out;
}

// A message's separators can be those of its acknowledgement when each is a printable ASCII
// character other than a letter or digit (which the acknowledgement's own text holds: "MSA",
// "AA", codes and times) and none is declared twice; otherwise it uses "|^~\&".
bool usable(const Separators& separators) {
  const char declared[] = {separators.field, separators.component, separators.repetition,
                           separators.escape, separators.subcomponent};
  for (std::size_t i = 0; i < std::size(declared); ++i) {
    const char c = declared[i];
    if (c == '\0' && i > 0) continue;  // an encoding character MSH-2 leaves out
    const bool alphanumeric =
        (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (c <= ' ' || c > '~' || alphanumeric) return false;
    for (std::size_t k = 0; k < i; ++k) {
      if (declared[k] == c) return false;
    }
  }
  return true;
}

bool is_separator(char c, const Separators& separators) {
  return c != '\0' &&
         (c == separators.field || c == separators.component || c == separators.repetition ||
          c == separators.escape || c == separators.subcomponent);
}

// A header value as the message holds it, echoed into the acknowledgement: delimiters the two
// share keep their meaning, so components stay components; a character that is a delimiter of
// the acknowledgement only is escaped as text; a control character, which could end the segment
// or the frame, is written as a hex escape.
std::string echoed(std::string_view value, const Separators& message, const Separators& ack) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    if (is_control(c)) {
      constexpr char kHex[] = "0123456789ABCDEF";
      const auto byte = static_cast<unsigned char>(c);
      out += ack.escape;
      out += 'X';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
      out += ack.escape;
    } else if (is_separator(c, ack) && !is_separator(c, message)) {
      out += escaped(std::string_view(&c, 1), ack);
    } else {
      out += c;
    }
  }
  return out;
}

// `parts` joined by `separator`, empty parts at the end left out.
std::string joined(std::vector<std::string> parts, char separator) {
  while (parts.size() > 1 && parts.back().empty()) parts.pop_back();
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += separator;
    text += parts[i];
  }
  return text;
}

// True when `version` (MSH-12.1) is a version number before 2.5: digits, then one or more
// "." and digits, below 2.5. Anything else, the empty text included, gets the later layout.
bool is_before_2_5(std::string_view version) {
  int numbers[2] = {0, 0};
  std::size_t count = 0;
  while (true) {
    if (version.empty() || version.front() < '0' || version.front() > '9') return false;
    int number = 0;
    const auto [end, error] =
        std::from_chars(version.data(), version.data() + version.size(), number);
    if (error != std::errc()) return false;
    if (count < 2) numbers[count] = number;
    ++count;
    version.remove_prefix(static_cast<std::size_t>(end - version.data()));
    if (version.empty()) break;
    if (version.front() != '.') return false;
    version.remove_prefix(1);
  }
  return count >= 2 && (numbers[0] < 2 || (numbers[0] == 2 && numbers[1] < 5));
}

std::string err_segment(const Answer& answer, const Separators& separators, bool before_2_5) {
  const Rejection& reason = answer.reason;
  const std::string sequence = answer.sequence > 0 ? std::to_string(answer.sequence) : "";
  const std::string field = reason.field > 0 ? std::to_string(reason.field) : "";
  const std::string code = std::to_string(reason.code);
  const std::string text = escaped(error_code_text(reason.code), separators);
  const std::string coding_system(kCodingSystem);
  if (before_2_5) {
    // ERR-1, error code and location: segment^sequence^field^code&text&system.
    const std::string error_code = joined({code, text, coding_system}, separators.subcomponent);
    return joined(
        {"ERR", joined({reason.segment, sequence, field, error_code}, separators.component)},
        separators.field);
  }
  return joined({"ERR", "", joined({reason.segment, sequence, field}, separators.component),
                 joined({code, text, coding_system}, separators.component), "E"},
                separators.field);
}

}  // namespace

std::string_view error_code_text(int code) {
  for (const ErrorCodeRow& row : kErrorCodes) {
    if (row.code == code) return row.text;
  }
  return {};
}

std::string_view ack_code_text(AckCode code) {
  constexpr std::string_view kCodes[] = {"AA", "AR", "AE"};
  return kCodes[static_cast<int>(code)];
}

std::string acknowledgement(const Fields* msh, const Separators& separators, const Answer& answer,
                            const AckStamp& stamp) {
  const Fields& header = msh ? *msh : kNoMsh;
  // Read with the message's own separators as far as they are usable; an unusable set is
  // read as declaring none, so that its values are echoed as plain text.
  const Separators declared = msh && usable(separators) ? separators : Separators{};
  const Separators read_with =
      msh && usable(separators) ? separators : Separators{'\0', '\0', '\0', '\0', '\0'};
  const Separators ours = completed(declared);
  auto echo = [&header, &read_with, &ours](std::size_t number) {
    return echoed(field(header, number), read_with, ours);
  };

  const std::string trigger = echoed(part_of(field(header, 9), 2, read_with), read_with, ours);
  const std::string type =
      trigger.empty() ? "ACK" : joined({"ACK", trigger, "ACK"}, ours.component);
  std::vector<std::string> msh_fields = {
      "MSH",      std::string{ours.component, ours.repetition, ours.escape, ours.subcomponent},
      echo(5),    echo(6),
      echo(3),    echo(4),
      stamp.time, "",
      type,       stamp.control_id,
      echo(11),   echo(12),
      "",         "",
      "",         "",
      "",         echo(18)};
  std::string ack = joined(std::move(msh_fields), ours.field) + '\r';

  const std::string code(ack_code_text(answer.code));
  if (answer.code == AckCode::accept) {
    return ack + joined({"MSA", code, echo(10)}, ours.field) + '\r';
  }
  ack += joined({"MSA", code, echo(10), escaped(answer.reason.text, ours)}, ours.field) + '\r';
  const std::string_view version = trimmed(part_of(field(header, 12), 1, read_with));
  return ack + err_segment(answer, ours, is_before_2_5(version)) + '\r';
}

std::string hl7_time(const std::tm& local, const std::tm& utc) {
  // The two calendars differ by less than a day, so the dates differ by at most one.
  int day = 0;
  if (local.tm_year != utc.tm_year) {
    day = local.tm_year > utc.tm_year ? 1 : -1;
  } else if (local.tm_yday != utc.tm_yday) {
    day = local.tm_yday > utc.tm_yday ? 1 : -1;
  }
  const int offset =
      day * 24 * 60 + (local.tm_hour - utc.tm_hour) * 60 + (local.tm_min - utc.tm_min);
  const int size = offset < 0 ? -offset : offset;
  return date_time_digits(local) + (offset < 0 ? '-' : '+') + padded(size / 60, 2) +
         padded(size % 60, 2);
}
