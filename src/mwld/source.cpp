// Reading and writing the source notation of the mapping table.
#include "mwld/source.h"

#include <charconv>

namespace {

constexpr std::size_t kLargestNumber = 999;

bool is_id_character(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// A number from 1 to kLargestNumber at the start of `text`, which it then no longer holds.
std::optional<std::size_t> take_number(std::string_view& text) {
  std::size_t number = 0;
  const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (problem != std::errc() || number < 1 || number > kLargestNumber) return std::nullopt;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return number;
}

}  // namespace

std::optional<Source> parse_source(std::string_view text, std::string& error) {
  error.clear();
  error += '"';
  error += text;
  error +=
      "\" is no source: SEG-F, SEG-F.C or SEG-F.C.S, as in \"OBR-4.2\", with [type=X] or "
      "[authority=X] after F to pick a repetition";
  Source source;
  if (text.size() < 5 || !is_id_character(text[0]) || !is_id_character(text[1]) ||
      !is_id_character(text[2]) || text[3] != '-') {
    return std::nullopt;
  }
  source.segment = std::string(text.substr(0, 3));
  text.remove_prefix(4);
  const std::optional<std::size_t> field = take_number(text);
  if (!field) return std::nullopt;
  source.field = *field;
  if (text.starts_with('[')) {
    const std::size_t close = text.find(']');
    const std::string_view pick = text.substr(1, close == text.npos ? text.npos : close - 1);
    const std::size_t equals = pick.find('=');
    if (close == text.npos || equals == pick.npos || equals + 1 == pick.size()) {
      return std::nullopt;
    }
    const std::string_view kind = pick.substr(0, equals);
    if (kind == "type") {
      source.pick = Source::Pick::type;
    } else if (kind == "authority") {
      source.pick = Source::Pick::authority;
    } else {
      return std::nullopt;
    }
    source.picked = std::string(pick.substr(equals + 1));
    text.remove_prefix(close + 1);
  }
  for (std::size_t* part : {&source.component, &source.subcomponent}) {
    if (text.empty()) break;
    if (!text.starts_with('.')) return std::nullopt;
    text.remove_prefix(1);
    const std::optional<std::size_t> number = take_number(text);
    if (!number) return std::nullopt;
    *part = *number;
  }
  if (!text.empty()) return std::nullopt;
  error.clear();
  return source;
}

std::string source_text(const Source& source) {
  std::string text = source.segment;
  text.append("-").append(std::to_string(source.field));
  if (source.pick != Source::Pick::first) {
    text.append(source.pick == Source::Pick::type ? "[type=" : "[authority=")
        .append(source.picked)
        .append("]");
  }
  for (const std::size_t part : {source.component, source.subcomponent}) {
    if (part > 0) text.append(".").append(std::to_string(part));
  }
  return text;
}
