// The encoder's bytes against the standard's encoding rules (PS3.5 7.1.2, 7.5, PS3.10 7.1),
// and the reader on what the encoder writes and on damaged files.
#include "mwld/dicom.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

constexpr std::string_view kUid = "1.2.3.4";

// What encode_file writes after the file meta group.
std::string data_set_bytes(const DataSet& data_set) {
  return encode_file(data_set, kUid).substr(encode_file({}, kUid).size());
}

// One line per element, items indented, keywords left out: a read-back data set has none.
std::string describe(const DataSet& data_set, const std::string& indent = "") {
  std::string text;
  for (const Element& element : data_set) {
    std::string tag = "(0000,0000) ";
    for (int i = 0; i < 8; ++i) {
      tag[i + 1 + i / 4] = "0123456789ABCDEF"[element.tag >> (28 - 4 * i) & 0xF];
    }
    text += indent + tag + std::string(element.vr) + " [" + element.value + "]\n";
    for (const DataSet& item : element.items) {
      text += describe(item, indent + "  ") + indent + "--\n";
    }
  }
  return text;
}

std::string le32(std::uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

TEST(Dicom, ElementBytes) {
  struct Case {
    std::string label;
    DataSet data_set;
    std::string bytes;
  };
  // Tag as group then element, each little-endian; VR; length; value.
  // clang-format off
  const Case cases[] = {
      {"AE", {{0x00400001, "AE", "", "STATION1", {}}}, "\x40\x00\x01\x00" "AE\x08\x00" "STATION1"s},
      {"CS", {{0x00080060, "CS", "", "MR", {}}}, "\x08\x00\x60\x00" "CS\x02\x00" "MR"s},
      {"DA", {{0x00400002, "DA", "", "20240131", {}}}, "\x40\x00\x02\x00" "DA\x08\x00" "20240131"s},
      {"LO", {{0x00321060, "LO", "", "MRI HEAD", {}}}, "\x32\x00\x60\x10" "LO\x08\x00" "MRI HEAD"s},
      {"PN", {{0x00100010, "PN", "", "DOE^JOHN", {}}}, "\x10\x00\x10\x00" "PN\x08\x00" "DOE^JOHN"s},
      {"SH", {{0x00080050, "SH", "", "A1", {}}}, "\x08\x00\x50\x00" "SH\x02\x00" "A1"s},
      {"TM", {{0x00400003, "TM", "", "0930", {}}}, "\x40\x00\x03\x00" "TM\x04\x00" "0930"s},
      {"UI", {{0x0020000D, "UI", "", "1.2.34", {}}}, "\x20\x00\x0D\x00" "UI\x06\x00" "1.2.34"s},
      {"empty", {{0x00080090, "PN", "", "", {}}}, "\x08\x00\x90\x00" "PN\x00\x00"s},
      {"odd LO padded with a blank", {{0x00100020, "LO", "", "ABC", {}}},
       "\x10\x00\x20\x00" "LO\x04\x00" "ABC "s},
      {"odd UI padded with NUL", {{0x0020000D, "UI", "", "1.2.3", {}}},
       "\x20\x00\x0D\x00" "UI\x06\x00" "1.2.3\0"s},
      {"odd OB padded with NUL, 32-bit length", {{0x00420011, "OB", "", "\x01\x02\x03", {}}},
       "\x42\x00\x11\x00" "OB\0\0\x04\0\0\0" "\x01\x02\x03\0"s},
      {"length above 255", {{0x00321060, "LO", "", std::string(300, 'x'), {}}},
       "\x32\x00\x60\x10" "LO\x2C\x01"s + std::string(300, 'x')},
      {"sorted by tag", {{0x00100020, "LO", "", "P1", {}}, {0x00080060, "CS", "", "MR", {}}},
       "\x08\x00\x60\x00" "CS\x02\x00" "MR"
       "\x10\x00\x20\x00" "LO\x02\x00" "P1"s},
      {"sequence of one item, sorted inside",
       {{0x00400100, "SQ", "", "", {{{0x00400002, "DA", "", "20240131", {}},
                                     {0x00080060, "CS", "", "MR", {}}}}}},
       "\x40\x00\x00\x01" "SQ\0\0\x22\0\0\0"
         "\xFE\xFF\x00\xE0\x1A\0\0\0"
           "\x08\x00\x60\x00" "CS\x02\x00" "MR"
           "\x40\x00\x02\x00" "DA\x08\x00" "20240131"s},
      {"sequence of no item", {{0x00400100, "SQ", "", "", {}}},
       "\x40\x00\x00\x01" "SQ\0\0\0\0\0\0"s},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(data_set_bytes(c.data_set), c.bytes);
  }
}

TEST(Dicom, FileMetaGroup) {
  const std::string file = encode_file({}, kUid);
  // The version name follows the project's version, so it is read from the file, not typed.
  constexpr std::size_t kNameAt = 292;
  ASSERT_GE(file.size(), kNameAt);
  const std::size_t name_size = static_cast<std::uint8_t>(file[kNameAt - 2]);
  ASSERT_LE(name_size, 16u);
  const std::string name = file.substr(kNameAt, name_size);
  EXPECT_EQ(name.substr(0, 8), "HL7MWLD ");

  // clang-format off
  const std::string expected = std::string(128, '\0') + "DICM" +
      "\x02\x00\x00\x00" "UL\x04\x00"s + le32(148 + name_size) +
      "\x02\x00\x01\x00" "OB\0\0\x02\0\0\0" "\x00\x01"
      "\x02\x00\x02\x00" "UI\x16\x00" "1.2.840.10008.5.1.4.31"
      "\x02\x00\x03\x00" "UI\x08\x00" "1.2.3.4\0"
      "\x02\x00\x10\x00" "UI\x14\x00" "1.2.840.10008.1.2.1\0"
      "\x02\x00\x12\x00" "UI\x2C\x00" "2.25.29334646780730442984179558233022029768\0"
      "\x02\x00\x13\x00" "SH"s + static_cast<char>(name_size) + '\0' + name;
  // clang-format on
  EXPECT_EQ(file, expected);
}

TEST(Dicom, ReadsBackWhatItWrites) {
  // clang-format off
  const DataSet written = {
      {0x00100010, "PN", "PatientName", "DOE^JOHN", {}},
      {0x00080050, "SH", "AccessionNumber", "A1", {}},
      {0x00100020, "LO", "PatientID", "ABC", {}},
      {0x00101030, "DS", "PatientWeight", "8.5", {}},  // odd: padded with a blank
      {0x0020000D, "UI", "StudyInstanceUID", "1.2.3", {}},
      {0x00080090, "PN", "ReferringPhysicianName", "", {}},
      {0x00420011, "OB", "EncapsulatedDocument", "\x01\x02"s, {}},
      {0x00400100, "SQ", "ScheduledProcedureStepSequence", "",
       {{{0x00400001, "AE", "ScheduledStationAETitle", "MR1", {}},
         {0x00400003, "TM", "ScheduledProcedureStepStartTime", "093", {}},
         {0x00400002, "DA", "ScheduledProcedureStepStartDate", "20240131", {}},
         {0x00400008, "SQ", "ScheduledProtocolCodeSequence", "",
          {DataSet{{0x00080100, "SH", "CodeValue", "X", {}}}, DataSet{}}},
         {0x00080060, "CS", "Modality", "MR", {}}}}},
  };
  // clang-format on
  const std::string sorted =
      "(0008,0050) SH [A1]\n"
      "(0008,0090) PN []\n"
      "(0010,0010) PN [DOE^JOHN]\n"
      "(0010,0020) LO [ABC]\n"
      "(0010,1030) DS [8.5]\n"
      "(0020,000D) UI [1.2.3]\n"
      "(0040,0100) SQ []\n"
      "  (0008,0060) CS [MR]\n"
      "  (0040,0001) AE [MR1]\n"
      "  (0040,0002) DA [20240131]\n"
      "  (0040,0003) TM [093]\n"
      "  (0040,0008) SQ []\n"
      "    (0008,0100) SH [X]\n"
      "  --\n"
      "  --\n"
      "--\n"
      "(0042,0011) OB [\x01\x02]\n"s;
  const std::optional<DataSet> read = decode_file(encode_file(written, kUid));
  ASSERT_TRUE(read);
  EXPECT_EQ(describe(*read), sorted);

  ASSERT_NE(find_element(*read, 0x00100020), nullptr);
  EXPECT_EQ(find_element(*read, 0x00100020)->value, "ABC");
  EXPECT_EQ(find_element(*read, 0x00100030), nullptr);
  EXPECT_EQ(find_element(*read, 0x00400002), nullptr) << "only the top level is searched";
}

// What other tools write and worklist servers serve: undefined lengths ended by delimitation
// items (PS3.5 7.5.1, 7.5.2).
TEST(Dicom, ReadsWhatOtherWritersWrite) {
  // clang-format off
  const std::string item = "\xFE\xFF\x00\xE0"s, undefined = "\xFF\xFF\xFF\xFF"s;
  const std::string item_end = "\xFE\xFF\x0D\xE0\0\0\0\0"s, end = "\xFE\xFF\xDD\xE0\0\0\0\0"s;
  const std::string sq = "\x40\x00\x00\x01" "SQ\0\0"s, cs = "\x08\x00\x60\x00" "CS\x02\x00" "MR"s;
  const std::string lo = "\x40\x00\x17\x20" "LO\x02\x00" "F1"s;
  const std::string read = "(0040,0100) SQ []\n  (0008,0060) CS [MR]\n--\n(0040,2017) LO [F1]\n";
  const struct {
    std::string label;
    std::string bytes;
    std::optional<std::string> data_set;  // nothing: refused
  } cases[] = {
      {"sequence of undefined length", sq + undefined + item + le32(10) + cs + end + lo, read},
      {"item of undefined length", sq + le32(26) + item + undefined + cs + item_end + lo, read},
      {"both, nested, an empty item, an empty sequence",
       sq + undefined + item + undefined + "\x40\x00\x08\x00" "SQ\0\0"s + undefined + item +
         undefined + item_end + end + item_end + item + undefined + item_end + end +
         "\x32\x00\x64\x10" "SQ\0\0"s + undefined + end,
       "(0040,0100) SQ []\n  (0040,0008) SQ []\n  --\n--\n--\n(0032,1064) SQ []\n"},
      {"sequence delimitation item ending an item", sq + undefined + item + undefined + cs + end,
       std::nullopt},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::optional<DataSet> read_back = decode_file(encode_file({}, kUid) + c.bytes);
    EXPECT_EQ(read_back ? std::optional(describe(*read_back)) : std::nullopt, c.data_set);
  }
}

// A sequence nesting `depth` sequences, the innermost holding one CS element.
DataSet nested(int depth) {
  DataSet data_set = {{0x00080060, "CS", "", "MR", {}}};
  for (int i = 0; i < depth; ++i) data_set = {{0x00400100, "SQ", "", "", {data_set}}};
  return data_set;
}

TEST(Dicom, RefusesDamagedFiles) {
  // The meta group ends at M; then CS at M, SQ at M+10 with its length at M+18, the item tag
  // at M+22, the item length at M+26, DA at M+30; the file ends at M+46.
  const DataSet small = {
      {0x00080060, "CS", "", "MR", {}},
      {0x00400100, "SQ", "", "", {{{0x00400002, "DA", "", "20240131", {}}}}},
  };
  const std::string good = encode_file(small, kUid);
  const std::size_t m = encode_file({}, kUid).size();
  ASSERT_EQ(good.size(), m + 46);
  ASSERT_TRUE(decode_file(good));

  struct Case {
    std::string label;
    std::size_t at;
    std::string bytes;
  };
  const Case cases[] = {
      {"no DICM", 128, "DICX"},
      {"group length past the end", 140, "\xFF\xFF\xFF\xFF"},
      {"group length cutting an element", 140,
       le32(148 - 2 + static_cast<std::uint8_t>(good[290]))},
      {"group length not first", 132, "\x02\x00\x01\x00"s},
      {"big endian transfer syntax", 212, "1.2.840.10008.1.2.2\0"s},
      {"unknown VR", m + 4, "XX"},
      {"element past the end", m + 6, "\x40\x00"s},
      {"undefined sequence length, no delimitation item", m + 18, "\xFF\xFF\xFF\xFF"},
      {"sequence past the end", m + 18, "\x23\x00\x00\x00"s},
      {"not an item", m + 22, "\xFE\xFF\xDD\xE0"},
      {"undefined item length, no delimitation item", m + 26, "\xFF\xFF\xFF\xFF"},
      {"item past its sequence", m + 26, "\x17\x00\x00\x00"s},
      {"element past its item", m + 36, "\x09\x00"s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string bytes = good;
    bytes.replace(c.at, c.bytes.size(), c.bytes);
    EXPECT_FALSE(decode_file(bytes));
  }

  // Every cut refused except at the ends of top-level elements; every byte set to FF read
  // without going out of bounds (the sanitizer build is what proves that).
  for (std::size_t size = 0; size < good.size(); ++size) {
    SCOPED_TRACE("first " + std::to_string(size) + " bytes");
    EXPECT_EQ(decode_file(good.substr(0, size)).has_value(), size == m || size == m + 10);
    std::string bytes = good;
    bytes[size] = '\xFF';
    decode_file(bytes);
  }

  EXPECT_TRUE(decode_file(encode_file(nested(8), kUid)));
  EXPECT_FALSE(decode_file(encode_file(nested(9), kUid)));
}

}  // namespace
