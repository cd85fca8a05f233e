// The encoder writes Explicit VR Little Endian with defined lengths, the one encoding every
// worklist server reads; the reader also takes what another tool may have rewritten an entry
// into, and the worklist servers still serve.
#include "mwld/dicom.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <initializer_list>

namespace {

// The project's own implementation class UID: a UUID under the 2.25 root, made once.
constexpr std::string_view kImplementationClassUid = "2.25.29334646780730442984179558233022029768";
constexpr std::string_view kImplementationVersionName = "HL7MWLD " HL7MWL_VERSION;
static_assert(kImplementationVersionName.size() <= 16, "an SH value holds 16 characters");

constexpr std::string_view kModalityWorklistFind = "1.2.840.10008.5.1.4.31";
constexpr std::string_view kExplicitVrLittleEndian = "1.2.840.10008.1.2.1";
constexpr std::string_view kImplicitVrLittleEndian = "1.2.840.10008.1.2";

constexpr std::size_t kPreambleSize = 128;
constexpr std::string_view kMagic = "DICM";
constexpr std::uint32_t kGroupLengthTag = 0x00020000;
constexpr std::uint32_t kTransferSyntaxTag = 0x00020010;
constexpr std::uint32_t kItemTag = 0xFFFEE000;
constexpr std::uint32_t kItemDelimitationTag = 0xFFFEE00D;
constexpr std::uint32_t kSequenceDelimitationTag = 0xFFFEE0DD;
constexpr std::uint32_t kUndefinedLength = 0xFFFFFFFF;
// Worklist entries nest only a few sequences deep; the bound keeps a hostile file from
// exhausting the stack.
constexpr int kDeepestSequence = 8;

// Every VR, so that a VR read back can point at text that outlives the bytes it came from.
constexpr std::array<std::string_view, 34> kVrs = {
    "AE", "AS", "AT", "CS", "DA", "DS", "DT", "FD", "FL", "IS", "LO", "LT",
    "OB", "OD", "OF", "OL", "OV", "OW", "PN", "SH", "SL", "SQ", "SS", "ST",
    "SV", "TM", "UC", "UI", "UL", "UN", "UR", "US", "UT", "UV",
};

bool is_one_of(std::string_view vr, std::initializer_list<std::string_view> vrs) {
  return std::find(vrs.begin(), vrs.end(), vr) != vrs.end();
}

// These VRs have two reserved bytes and a 32-bit length after the VR; the rest a 16-bit length.
bool has_long_length(std::string_view vr) {
  return is_one_of(vr,
                   {"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "SV", "UC", "UN", "UR", "UT", "UV"});
}

bool pads_with_nul(std::string_view vr) {
  return is_one_of(vr, {"UI", "OB", "OD", "OF", "OL", "OV", "OW", "UN"});
}

// Trailing blanks in these VRs are padding, never value.
bool ends_in_insignificant_blanks(std::string_view vr) {
  return is_one_of(vr, {"AE", "CS", "DA", "DS", "LO", "PN", "SH", "TM"});
}

std::string_view without_padding(std::string_view vr, std::string_view value) {
  char pad = ' ';
  if (vr == "UI") {
    pad = '\0';
  } else if (!ends_in_insignificant_blanks(vr)) {
    return value;
  }
  const std::size_t last = value.find_last_not_of(pad);
  return value.substr(0, last == std::string_view::npos ? 0 : last + 1);
}

void put_number(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void put_tag(std::string& out, std::uint32_t tag) {
  put_number(out, tag >> 16, 2);
  put_number(out, tag & 0xFFFF, 2);
}

std::string encode_data_set(const DataSet& data_set);

void put_element(std::string& out, const Element& element) {
  std::string value;
  if (element.vr == "SQ") {
    for (const DataSet& item : element.items) {
      const std::string item_bytes = encode_data_set(item);
      put_tag(value, kItemTag);
      put_number(value, static_cast<std::uint32_t>(item_bytes.size()), 4);
      value += item_bytes;
    }
  } else {
    value = element.value;
    if (value.size() % 2 != 0) value += pads_with_nul(element.vr) ? '\0' : ' ';
  }
  put_tag(out, element.tag);
  out += element.vr;
  if (has_long_length(element.vr)) {
    out.append(2, '\0');
    put_number(out, static_cast<std::uint32_t>(value.size()), 4);
  } else {
    // Callers keep within the limit; should one not, a cut value still leaves a readable file
    // where a wrapped length would not.
    if (value.size() > kLongestShortValue) value.resize(kLongestShortValue);
    put_number(out, static_cast<std::uint32_t>(value.size()), 2);
  }
  out += value;
}

std::string encode_data_set(const DataSet& data_set) {
  std::vector<const Element*> sorted;
  for (const Element& element : data_set) sorted.push_back(&element);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const Element* a, const Element* b) { return a->tag < b->tag; });
  std::string out;
  for (const Element* element : sorted) put_element(out, *element);
  return out;
}

// Takes `size` bytes from the front of `bytes` as a little-endian number; false when too few.
bool take_number(std::string_view& bytes, std::size_t size, std::uint32_t& value) {
  if (bytes.size() < size) return false;
  value = 0;
  for (std::size_t i = 0; i < size; ++i) {
    value |= std::uint32_t{static_cast<std::uint8_t>(bytes[i])} << (8 * i);
  }
  bytes.remove_prefix(size);
  return true;
}

bool take_tag(std::string_view& bytes, std::uint32_t& tag) {
  std::uint32_t group = 0;
  std::uint32_t element = 0;
  if (!take_number(bytes, 2, group) || !take_number(bytes, 2, element)) return false;
  tag = group << 16 | element;
  return true;
}

// How the elements of a data set are written: with their VR (Explicit VR) or without it
// (Implicit VR, where each has a 32-bit length), always little endian.
enum class Syntax { explicit_vr, implicit_vr };

bool take_data_set(std::string_view& bytes, Syntax syntax, int depth, bool delimited,
                   DataSet& data_set);

// Takes the tag of an item, item delimitation or sequence delimitation item (group FFFE) and
// its 32-bit length; these have no VR in either syntax (PS3.5 7.5).
bool take_item_header(std::string_view& bytes, std::uint32_t& tag, std::uint32_t& length) {
  return take_tag(bytes, tag) && tag >> 16 == 0xFFFE && take_number(bytes, 4, length);
}

// Takes the items of a sequence from the front of `bytes`: all of them when the sequence has a
// defined length (`bytes` is then its value), else up to and past its sequence delimitation
// item. Each item has a defined length or ends with an item delimitation item.
bool take_items(std::string_view& bytes, Syntax syntax, int depth, bool delimited,
                std::vector<DataSet>& items) {
  if (depth >= kDeepestSequence) return false;
  while (!bytes.empty()) {
    std::uint32_t tag = 0;
    std::uint32_t length = 0;
    if (!take_item_header(bytes, tag, length)) return false;
    if (delimited && tag == kSequenceDelimitationTag) return length == 0;
    if (tag != kItemTag) return false;
    DataSet& item = items.emplace_back();
    if (length == kUndefinedLength) {
      if (!take_data_set(bytes, syntax, depth + 1, true, item)) return false;
      continue;
    }
    if (length > bytes.size()) return false;
    std::string_view value = bytes.substr(0, length);
    bytes.remove_prefix(length);
    if (!take_data_set(value, syntax, depth + 1, false, item)) return false;
  }
  return !delimited;
}

// Reads the element at the front of `bytes` and moves past it. In Implicit VR the VR is not
// known: an element of undefined length is a sequence, any other is "UN" with its bytes as
// they are.
bool take_element(std::string_view& bytes, Syntax syntax, int depth, Element& element) {
  std::uint32_t length = 0;
  if (!take_tag(bytes, element.tag) || element.tag >> 16 == 0xFFFE) return false;
  if (syntax == Syntax::implicit_vr) {
    if (!take_number(bytes, 4, length)) return false;
    element.vr = length == kUndefinedLength ? "SQ" : "UN";
  } else {
    if (bytes.size() < 2) return false;
    const auto vr = std::find(kVrs.begin(), kVrs.end(), bytes.substr(0, 2));
    if (vr == kVrs.end()) return false;
    element.vr = *vr;
    bytes.remove_prefix(2);
    std::uint32_t reserved = 0;
    if (has_long_length(element.vr)
            ? !take_number(bytes, 2, reserved) || !take_number(bytes, 4, length)
            : !take_number(bytes, 2, length)) {
      return false;
    }
  }
  if (length == kUndefinedLength) {
    return element.vr == "SQ" && take_items(bytes, syntax, depth, true, element.items);
  }
  if (length > bytes.size()) return false;
  std::string_view value = bytes.substr(0, length);
  bytes.remove_prefix(length);
  if (element.vr == "SQ") return take_items(value, syntax, depth, false, element.items);
  element.value = without_padding(element.vr, value);
  return true;
}

// Takes elements from the front of `bytes` into `data_set`: all of them, or when `delimited`
// up to and past an item delimitation item.
bool take_data_set(std::string_view& bytes, Syntax syntax, int depth, bool delimited,
                   DataSet& data_set) {
  while (!bytes.empty()) {
    std::string_view rest = bytes;
    std::uint32_t tag = 0;
    std::uint32_t length = 0;
    if (delimited && take_item_header(rest, tag, length) && tag == kItemDelimitationTag) {
      bytes = rest;
      return length == 0;
    }
    if (!take_element(bytes, syntax, depth, data_set.emplace_back())) return false;
  }
  return !delimited;
}

std::optional<DataSet> decode_data_set(std::string_view bytes, Syntax syntax) {
  DataSet data_set;
  if (!take_data_set(bytes, syntax, 0, false, data_set)) return std::nullopt;
  return data_set;
}

}  // namespace

std::string encode_file(const DataSet& data_set, std::string_view sop_instance_uid) {
  const DataSet meta = {
      {0x00020001, "OB", "FileMetaInformationVersion", std::string("\0\1", 2), {}},
      {0x00020002, "UI", "MediaStorageSOPClassUID", std::string(kModalityWorklistFind), {}},
      {0x00020003, "UI", "MediaStorageSOPInstanceUID", std::string(sop_instance_uid), {}},
      {kTransferSyntaxTag, "UI", "TransferSyntaxUID", std::string(kExplicitVrLittleEndian), {}},
      {0x00020012, "UI", "ImplementationClassUID", std::string(kImplementationClassUid), {}},
      {0x00020013, "SH", "ImplementationVersionName", std::string(kImplementationVersionName), {}},
  };
  const std::string meta_bytes = encode_data_set(meta);
  std::string out(kPreambleSize, '\0');
  out += kMagic;
  std::string group_length;
  put_number(group_length, static_cast<std::uint32_t>(meta_bytes.size()), 4);
  put_element(out, {kGroupLengthTag, "UL", "FileMetaInformationGroupLength", group_length, {}});
  out += meta_bytes;
  out += encode_data_set(data_set);
  return out;
}

std::optional<DataSet> decode_file(std::string_view bytes, std::string* sop_instance_uid) {
  if (bytes.size() < kPreambleSize + kMagic.size() ||
      bytes.substr(kPreambleSize, kMagic.size()) != kMagic) {
    return std::nullopt;
  }
  bytes.remove_prefix(kPreambleSize + kMagic.size());

  // The group length is the only way to know where the meta group ends.
  Element group_length;
  std::uint32_t meta_size = 0;
  if (!take_element(bytes, Syntax::explicit_vr, 0, group_length) ||
      group_length.tag != kGroupLengthTag || group_length.vr != "UL" ||
      group_length.value.size() != 4) {
    return std::nullopt;
  }
  std::string_view length_bytes = group_length.value;
  take_number(length_bytes, 4, meta_size);
  if (meta_size > bytes.size()) return std::nullopt;
  // The meta group is always Explicit VR Little Endian.
  const std::optional<DataSet> meta =
      decode_data_set(bytes.substr(0, meta_size), Syntax::explicit_vr);
  if (!meta) return std::nullopt;
  const Element* transfer_syntax = find_element(*meta, kTransferSyntaxTag);
  if (!transfer_syntax) return std::nullopt;
  if (sop_instance_uid) {
    const Element* uid = find_element(*meta, 0x00020003);
    *sop_instance_uid = uid ? uid->value : std::string();
  }
  if (transfer_syntax->value == kExplicitVrLittleEndian) {
    return decode_data_set(bytes.substr(meta_size), Syntax::explicit_vr);
  }
  if (transfer_syntax->value == kImplicitVrLittleEndian) {
    return decode_data_set(bytes.substr(meta_size), Syntax::implicit_vr);
  }
  return std::nullopt;
}

const Element* find_element(const DataSet& data_set, std::uint32_t tag) {
  const auto found = std::find_if(data_set.begin(), data_set.end(),
                                  [tag](const Element& element) { return element.tag == tag; });
  return found == data_set.end() ? nullptr : &*found;
}

std::string tag_text(std::uint32_t tag) {
  constexpr char kHexDigits[] = "0123456789abcdef";
  std::string text = "(";
  for (int shift = 28; shift >= 0; shift -= 4) {
    text += kHexDigits[(tag >> shift) & 0xF];
    if (shift == 16) text += ',';
  }
  return text + ")";
}
