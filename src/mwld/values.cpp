// Value rules: escape decoding, reserved characters, names, dates, times and lengths.
#include "mwld/values.h"

#include <algorithm>
#include <array>

namespace {

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int hex_value(char c) {
  if (c <= '9') return c - '0';
  return (c | 0x20) - 'a' + 10;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The bytes of a \X..\ escape's hex digits, or false when they are not whole pairs.
bool hex_bytes(std::string_view digits, std::string& bytes) {
  if (digits.empty() || digits.size() % 2 != 0) return false;
  for (char c : digits) {
    if (!is_hex_digit(c)) return false;
  }
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    bytes += static_cast<char>(hex_value(digits[i]) * 16 + hex_value(digits[i + 1]));
  }
  return true;
}

// The escapes that stand for one of the message's delimiters.
struct DelimiterEscape {
  char name;
  char Separators::*delimiter;
};
constexpr DelimiterEscape kDelimiterEscapes[] = {
    {'F', &Separators::field},      {'S', &Separators::component}, {'T', &Separators::subcomponent},
    {'R', &Separators::repetition}, {'E', &Separators::escape},
};

// Appends what the escape `name` (the text between the two escape characters) stands for.
// Returns false for a sequence that is none of the known ones, which then stays as written.
bool append_escape(std::string_view name, const Separators& separators, std::string& out) {
  if (name.empty()) return false;
  if (name.size() == 1) {
    for (const DelimiterEscape& escape : kDelimiterEscapes) {
      if (escape.name == name[0]) {
        out += separators.*escape.delimiter;
        return true;
      }
    }
    if (name == "H" || name == "N") return true;  // highlighting on and off: dropped
  }
  switch (name[0]) {
    case 'X': {  // bytes in hex; dropped when malformed
      std::string bytes;
      if (hex_bytes(name.substr(1), bytes)) out += bytes;
      return true;
    }
    case '.':  // formatting commands: a line break is a blank, the rest are dropped
      if (name == ".br") out += ' ';
      return true;
    case 'C':  // character set changes, locally defined escapes: dropped
    case 'M':
    case 'Z':
      return true;
  }
  return false;
}

bool is_leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int number_at(std::string_view text, std::size_t position, std::size_t digits) {
  int value = 0;
  for (std::size_t i = position; i < position + digits; ++i) value = value * 10 + (text[i] - '0');
  return value;
}

bool digits_at(std::string_view text, std::size_t position, std::size_t count) {
  if (text.size() < position + count) return false;
  for (std::size_t i = position; i < position + count; ++i) {
    if (!is_digit(text[i])) return false;
  }
  return true;
}

}  // namespace

bool is_control(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

std::string_view trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == text.npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string decode_escapes(std::string_view text, const Separators& separators) {
  if (separators.escape == '\0') return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t start = text.find(separators.escape, position);
    const std::size_t end =
        start == text.npos ? text.npos : text.find(separators.escape, start + 1);
    if (end == text.npos) {
      out.append(text.substr(position));
      break;
    }
    out.append(text.substr(position, start - position));
    const std::string_view name = text.substr(start + 1, end - start - 1);
    if (append_escape(name, separators, out)) {
      position = end + 1;
    } else {
      // Not an escape: keep its first escape character and read on from the second, which may
      // open a real one.
      out += separators.escape;
      out.append(name);
      position = end;
    }
  }
  return out;
}

std::string text_value(std::string_view decoded) {
  std::string text(decoded);
  for (char& c : text) {
    if (is_control(c) || c == '\\') c = ' ';
  }
  return std::string(trimmed(text));
}

std::string field_text(const Fields* segment, std::size_t number, std::size_t component,
                       const Separators& separators) {
  if (!segment) return {};
  return text_value(
      decode_escapes(part_of(field(*segment, number), component, separators), separators));
}

std::string identifier_text(const Fields* segment, std::size_t number, std::size_t component,
                            const Separators& separators) {
  if (!segment) return {};
  return std::string(
      trimmed(decode_escapes(part_of(field(*segment, number), component, separators), separators)));
}

bool fits_identifier(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) { return is_control(c) || c == '\\'; });
}

std::size_t character_count(std::string_view text, Encoding encoding) {
  if (encoding == Encoding::single_byte) return text.size();
  // Every UTF-8 character has exactly one byte that is not a continuation byte (10xxxxxx).
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::string code_string(std::string_view decoded) {
  std::string text = text_value(decoded);
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    const bool allowed = (c >= 'A' && c <= 'Z') || is_digit(c) || c == '_' || c == ' ';
    if (!allowed) c = '_';
  }
  return text;
}

Encoding encoding_of(std::string_view dicom_character_set) {
  return dicom_character_set == "ISO_IR 192" ? Encoding::utf8 : Encoding::single_byte;
}

std::string cut_to(std::string_view text, std::size_t limit, Encoding encoding) {
  std::size_t end = limit;
  if (encoding == Encoding::utf8) {
    // The byte where character `limit` (from 0) starts: every UTF-8 character has exactly one
    // byte that is not a continuation byte (10xxxxxx).
    std::size_t characters = 0;
    for (end = 0; end < text.size(); ++end) {
      if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80 && characters++ == limit) break;
    }
  }
  if (end >= text.size()) return std::string(text);
  std::string cut(text.substr(0, end));
  while (!cut.empty() && cut.back() == ' ') cut.pop_back();
  return cut;
}

std::string person_name(std::string_view field, NameType type, const Separators& separators) {
  const std::vector<std::string_view> parts = components_of(field, separators);
  // HL7 component numbers of family, given, middle, prefix and suffix: DICOM's order.
  constexpr std::array<std::size_t, 5> kXpnOrder = {1, 2, 3, 5, 4};
  const std::size_t shift = type == NameType::xcn ? 1 : 0;
  std::array<std::string, 5> components;
  for (std::size_t i = 0; i < components.size(); ++i) {
    const std::size_t number = kXpnOrder[i] + shift;
    if (number > parts.size()) continue;
    std::string text = decode_escapes(parts[number - 1], separators);
    for (char& c : text) {
      if (c == '^' || c == '=') c = ' ';
    }
    components[i] = text_value(text);
  }
  std::string name;
  std::size_t used = components.size();
  while (used > 0 && components[used - 1].empty()) --used;
  for (std::size_t i = 0; i < used; ++i) {
    if (i > 0) name += '^';
    name += components[i];
  }
  return name;
}

bool is_ae_title(std::string_view title) {
  constexpr std::size_t kLongestAeTitle = 16;
  if (title.empty() || title.size() > kLongestAeTitle) return false;
  return std::all_of(title.begin(), title.end(),
                     [](char c) { return c >= ' ' && c <= '~' && c != '\\'; });
}

bool starts_with_date(std::string_view text) {
  if (!digits_at(text, 0, 8)) return false;
  const int year = number_at(text, 0, 4);
  const int month = number_at(text, 4, 2);
  const int day = number_at(text, 6, 2);
  constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12 || day < 1) return false;
  const int days = kDaysInMonth[month - 1] + (month == 2 && is_leap_year(year) ? 1 : 0);
  return day <= days;
}

std::string time_after_date(std::string_view text) {
  constexpr int kLimits[] = {23, 59, 59};
  std::string time;
  for (std::size_t pair = 0; pair < 3; ++pair) {
    const std::size_t position = 8 + 2 * pair;
    if (!digits_at(text, position, 2) || number_at(text, position, 2) > kLimits[pair]) break;
    time.append(text.substr(position, 2));
  }
  return time.empty() ? "000000" : time;
}

std::string padded(int value, std::size_t width) {
  std::string digits = std::to_string(value);
  return std::string(width > digits.size() ? width - digits.size() : 0, '0') + digits;
}

std::string date_time_digits(const std::tm& fields) {
  return padded(fields.tm_year + 1900, 4) + padded(fields.tm_mon + 1, 2) +
         padded(fields.tm_mday, 2) + padded(fields.tm_hour, 2) + padded(fields.tm_min, 2) +
         padded(fields.tm_sec, 2);
}

bool is_valid_uid(std::string_view text) {
  if (text.empty() || text.size() > 64) return false;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = std::min(text.find('.', start), text.size());
    const std::string_view component = text.substr(start, end - start);
    if (component.empty() || !digits_at(component, 0, component.size())) return false;
    if (component.size() > 1 && component[0] == '0') return false;
    if (end == text.size()) return true;
    start = end + 1;
  }
}

bool dicom_character_set(std::string_view hl7_character_set, std::string& term) {
  struct Row {
    std::string_view hl7;
    std::string_view dicom;
  };
  constexpr Row kCharacterSets[] = {
      {"", "ISO_IR 100"},
      {"8859/1", "ISO_IR 100"},
      {"UNICODE UTF-8", "ISO_IR 192"},
      {"ASCII", ""},
  };
  const std::string_view name = trimmed(hl7_character_set);
  for (const Row& row : kCharacterSets) {
    if (row.hl7 == name) {
      term = row.dicom;
      return true;
    }
  }
  return false;
}

std::string utf8_of(std::string_view latin1) {
  std::string text;
  text.reserve(latin1.size());
  for (const char c : latin1) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      text += c;
    } else {
      text += static_cast<char>(0xC0 | (byte >> 6));
      text += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return text;
}
