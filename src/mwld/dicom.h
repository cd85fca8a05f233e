// A worklist entry as a DICOM data set, and its DICOM file: the one encoder and its reader.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct Element;
using DataSet = std::vector<Element>;

// One data element. `value` holds the value's bytes without padding (a multi-byte value such
// as the file meta version is written as it is); a sequence (VR "SQ") holds `items` instead.
struct Element {
  std::uint32_t tag = 0;     // group in the high 16 bits: 0x00100010 is (0010,0010)
  std::string_view vr;       // two letters: AE, CS, DA, LO, OB, PN, SH, TM, UI, UL or SQ
  std::string_view keyword;  // the standard's keyword; empty in a data set read back
  std::string value;
  std::vector<DataSet> items;  // SQ only
};

// The longest value a VR with a 16-bit length field can hold once padded to even length.
constexpr std::size_t kLongestShortValue = 0xFFFE;

// The DICOM file of `data_set`: 128-byte preamble of zeros, "DICM", the file meta group
// (group length, version 00\01, Modality Worklist Information Model - FIND as the SOP class,
// `sop_instance_uid`, Explicit VR Little Endian, the implementation class UID and version
// name), then `data_set` in Explicit VR Little Endian. Elements are written in ascending tag
// order, in every item too; values are padded to even length, UI and OB with NUL and the rest
// with a blank; sequences and items have defined lengths. Every value of a VR with a 16-bit length
// must fit kLongestShortValue.
std::string encode_file(const DataSet& data_set, std::string_view sop_instance_uid);

// The data set of a file encode_file wrote, or of any DICOM file in Explicit or Implicit VR
// Little Endian: sequences and items of defined or undefined length (ended by their
// delimitation items), group length and padding elements, elements in any order. Values come
// without their padding; the file meta group is skipped. Trailing blanks are padding in AE, CS, DS,
// DA, LO, PN, SH and TM, trailing NULs in UI; other values are kept as they are. In Implicit VR
// an element of undefined length is read as a sequence and any other as "UN", its value as it
// is. Nothing when the bytes are not such a file, or nest sequences more than 8 deep. Never
// reads out of bounds. `sop_instance_uid`, when given, gets the file meta group's.
std::optional<DataSet> decode_file(std::string_view bytes, std::string* sop_instance_uid = nullptr);

// A tag as the standard writes it, in lower-case hex: "(0010,0020)", "(0020,000d)".
std::string tag_text(std::uint32_t tag);

// The value of the top-level element `tag` in `data_set`, or nothing when it is absent.
const Element* find_element(const DataSet& data_set, std::uint32_t tag);
