// Formatting outcome lines and data sets.
#include "mwld/report.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

std::string column(std::string_view text) {
  if (text.empty()) return "-";
  std::string clean(text);
  for (char& c : clean) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return clean;
}

std::string tag_text(std::uint32_t tag) {
  std::string text = "(";
  for (int shift = 28; shift >= 0; shift -= 4) {
    text += kHexDigits[(tag >> shift) & 0xF];
    if (shift == 16) text += ',';
  }
  return text + ")";
}

}  // namespace

std::string outcome_text(const MessagePlace& place, std::string_view word,
                         std::string_view entry_name, std::string_view reason) {
  std::string line = column(place.file) + '\t' + std::to_string(place.number) + '\t' +
                     column(place.control_id) + '\t' + std::string(word) + '\t' +
                     column(entry_name);
  if (!reason.empty()) line += '\t' + column(reason);
  return line + '\n';
}

std::string data_set_text(const DataSet& data_set, std::size_t indent) {
  std::string text;
  for (const Element& element : data_set) {
    text += std::string(indent, ' ') + tag_text(element.tag) + ' ' + std::string(element.vr) + ' ' +
            std::string(element.keyword);
    if (element.vr != "SQ") text += ' ' + element.value;
    text += '\n';
    for (const DataSet& item : element.items) text += data_set_text(item, indent + 2);
  }
  return text;
}
