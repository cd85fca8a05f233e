// Explicit VR Little Endian with defined lengths only: the one encoding the worklist servers
// all read, and the only one the reader has to accept.
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

constexpr std::size_t kPreambleSize = 128;
constexpr std::string_view kMagic = "DICM";
constexpr std::uint32_t kGroupLengthTag = 0x00020000;
constexpr std::uint32_t kTransferSyntaxTag = 0x00020010;
constexpr std::uint32_t kItemTag = 0xFFFEE000;
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
  return is_one_of(vr, {"AE", "CS", "DA", "LO", "PN", "SH", "TM"});
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

std::optional<DataSet> decode_data_set(std::string_view bytes, int depth);

// Reads the element at the front of `bytes` and moves past it. A length of FFFFFFFF (undefined)
// is larger than any remaining bytes, so it is refused with every other overrun.
bool take_element(std::string_view& bytes, int depth, Element& element) {
  std::uint32_t length = 0;
  if (!take_tag(bytes, element.tag) || element.tag >> 16 == 0xFFFE || bytes.size() < 2) {
    return false;
  }
  const auto vr = std::find(kVrs.begin(), kVrs.end(), bytes.substr(0, 2));
  if (vr == kVrs.end()) return false;
  element.vr = *vr;
  bytes.remove_prefix(2);
  if (has_long_length(element.vr)) {
    std::uint32_t reserved = 0;
    if (!take_number(bytes, 2, reserved) || !take_number(bytes, 4, length)) return false;
  } else if (!take_number(bytes, 2, length)) {
    return false;
  }
  if (length > bytes.size()) return false;
  std::string_view value = bytes.substr(0, length);
  bytes.remove_prefix(length);

  if (element.vr == "SQ") {
    if (depth >= kDeepestSequence) return false;
    while (!value.empty()) {
      std::uint32_t tag = 0;
      std::uint32_t item_length = 0;
      if (!take_tag(value, tag) || tag != kItemTag || !take_number(value, 4, item_length) ||
          item_length > value.size()) {
        return false;
      }
      std::optional<DataSet> item = decode_data_set(value.substr(0, item_length), depth + 1);
      if (!item) return false;
      element.items.push_back(std::move(*item));
      value.remove_prefix(item_length);
    }
    return true;
  }
  element.value = without_padding(element.vr, value);
  return true;
}

std::optional<DataSet> decode_data_set(std::string_view bytes, int depth) {
  DataSet data_set;
  while (!bytes.empty()) {
    Element element;
    if (!take_element(bytes, depth, element)) return std::nullopt;
    data_set.push_back(std::move(element));
  }
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

std::optional<DataSet> decode_file(std::string_view bytes) {
  if (bytes.size() < kPreambleSize + kMagic.size() ||
      bytes.substr(kPreambleSize, kMagic.size()) != kMagic) {
    return std::nullopt;
  }
  bytes.remove_prefix(kPreambleSize + kMagic.size());

  // The group length is the only way to know where the meta group ends.
  Element group_length;
  std::uint32_t meta_size = 0;
  if (!take_element(bytes, 0, group_length) || group_length.tag != kGroupLengthTag ||
      group_length.vr != "UL" || group_length.value.size() != 4) {
    return std::nullopt;
  }
  std::string_view length_bytes = group_length.value;
  take_number(length_bytes, 4, meta_size);
  if (meta_size > bytes.size()) return std::nullopt;
  const std::optional<DataSet> meta = decode_data_set(bytes.substr(0, meta_size), 0);
  if (!meta) return std::nullopt;
  const Element* transfer_syntax = find_element(*meta, kTransferSyntaxTag);
  if (!transfer_syntax || transfer_syntax->value != kExplicitVrLittleEndian) return std::nullopt;
  return decode_data_set(bytes.substr(meta_size), 0);
}

const Element* find_element(const DataSet& data_set, std::uint32_t tag) {
  const auto found = std::find_if(data_set.begin(), data_set.end(),
                                  [tag](const Element& element) { return element.tag == tag; });
  return found == data_set.end() ? nullptr : &*found;
}
