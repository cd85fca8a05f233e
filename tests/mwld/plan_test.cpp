// Messages to planned entries: the mapping table's sources and fallbacks, order control, order
// groups, and the reasons a message is refused.
#include "mwld/plan.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "mwld/values.h"

namespace {

// A segment as {field number: text}; MSH numbers start at 3, after the separators.
using SegmentFields = std::map<int, std::string>;
using Segments = std::vector<std::pair<std::string, SegmentFields>>;

std::string message_text(const Segments& segments) {
  std::string text;
  for (const auto& [id, fields] : segments) {
    text += id == "MSH" ? "MSH|^~\\&" : id;
    int position = id == "MSH" ? 2 : 0;
    for (const auto& [number, value] : fields) {
      text.append(number - position, '|');
      text += value;
      position = number;
    }
    text += '\r';
  }
  return text;
}

// A full ORM: every source of the mapping table set, none of the fallbacks needed.
Segments full_order() {
  // clang-format off
  return {
      {"MSH", {{3, "RIS"}, {7, "20240105083000"}, {9, "ORM^O01"}, {10, "MSG001"}, {12, "2.3.1"},
               {18, "8859/1"}}},
      {"PID", {{3, "PAT001^^^HOSP^MR"}, {5, "DOE^JOHN^Q^JR^DR"}, {7, "19700215"}, {8, "M"},
               {18, "ADM-PID"}}},
      {"PV1", {{2, "O"}, {3, "WARD^101^B"}, {8, "1234^SMITH^ANNA^^^DR"}, {19, "ADM-PV1"}}},
      {"ORC", {{1, "NW"}, {2, "PL100^RIS"}, {3, "FL200^PACS"}, {5, "SC"},
               {7, "^^^20240110093000^^S"}}},
      {"TQ1", {{7, "202401111015"}, {9, "R"}}},
      {"OBR", {{2, "PL-OBR"}, {3, "FL-OBR"}, {4, "CT-HEAD^CT Head^LOCAL^PROT1^Head protocol^LOCALP"},
               {16, "5678^JONES^BOB"}, {18, "ACC001"}, {19, "RP001"}, {20, "SPS001"},
               {24, "CT"}, {27, "^^^20240112^^A"}, {30, "PORT"}, {31, "R07.9^Chest pain^I10"},
               {34, "77&TECH&TOM&&&MR"}}},
      {"OBX", {{3, "29463-7^Body weight^LN"}, {5, "80.5"}, {6, "kg"}}},
      {"AL1", {{3, "^Penicillin"}}},
      {"AL1", {{3, "LATEX"}}},
  };
  // clang-format on
}

// 64 characters of two bytes each in UTF-8 ("é").
const std::string kE64 = [] {
  std::string text;
  for (int i = 0; i < 64; ++i) text += "\xC3\xA9";
  return text;
}();

MappingOptions options() {
  MappingOptions o;
  o.stations.by_modality = {{"CT", "CT01"}, {"MR", "MR01"}, {"XR", "XR01"}};
  o.stations.other = "OTHER";
  o.date = "20261207";
  o.time = "195500";
  return o;
}

MessagePlan plan_of(const std::string& text) {
  return plan_message(split_messages(text).messages.at(0), options());
}

// The value at "gggg,eeee" or "gggg,eeee/gggg,eeee" (inside a sequence's item) of the first
// entry, or nothing when it is absent.
std::optional<std::string> value_at(const MessagePlan& plan, const std::string& path) {
  const DataSet* data_set = &plan.steps.at(0).entries.at(0).entry.data_set;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = path.find('/', start);
    const std::string tag_text = path.substr(start, slash - start);
    const std::uint32_t tag =
        std::stoul(tag_text.substr(0, 4) + tag_text.substr(5, 4), nullptr, 16);
    const Element* element = find_element(*data_set, tag);
    if (!element) return std::nullopt;
    if (slash == std::string::npos) return element->value;
    data_set = &element->items.at(0);
    start = slash + 1;
  }
}

void set(Segments& segments, const std::string& id, int number, const std::string& text) {
  for (auto& [segment_id, fields] : segments) {
    if (segment_id == id) {
      fields[number] = text;
      return;
    }
  }
  segments.push_back({id, {{number, text}}});
}

void remove(Segments& segments, const std::string& id) {
  std::erase_if(segments, [&id](const auto& segment) { return segment.first == id; });
}

TEST(PlanMessage, FullOrderMapsEverySource) {
  const MessagePlan plan = plan_of(message_text(full_order()));
  ASSERT_FALSE(plan.rejection) << plan.rejection->text;
  EXPECT_EQ(plan.control_id, "MSG001");
  EXPECT_EQ(plan.message_type, "ORM^O01");
  // clang-format off
  const std::map<std::string, std::optional<std::string>> expected = {
      {"0008,0005", "ISO_IR 100"},
      {"0008,0050", "ACC001"},
      {"0008,0090", "SMITH^ANNA^^DR"},
      {"0010,0010", "DOE^JOHN^Q^DR^JR"},
      {"0010,0020", "PAT001"},
      {"0010,0021", "HOSP"},
      {"0010,0030", "19700215"},
      {"0010,0040", "M"},
      {"0010,1030", "80.5"},
      {"0010,2000", ""},
      {"0010,2110", "Penicillin\\LATEX"},
      {"0010,21C0", ""},
      {"0008,1110", ""},
      {"0008,1120", ""},
      {"0038,0050", ""},
      {"0038,0500", ""},
      {"0040,1002", "Chest pain"},
      {"0040,1004", "PORT"},
      {"0040,3001", ""},
      {"0040,0100/0040,0006", "TECH^TOM^^MR"},
      {"0040,0100/0040,0010", ""},
      {"0040,0100/0040,0011", ""},
      {"0032,1060", "CT Head"},
      {"0032,1064/0008,0100", "CT-HEAD"},
      {"0032,1064/0008,0102", "LOCAL"},
      {"0032,1064/0008,0104", "CT Head"},
      {"0032,1032", "JONES^BOB"},
      {"0038,0010", "ADM-PV1"},
      {"0038,0300", "WARD 101 B"},
      {"0040,1001", "RP001"},
      {"0040,1003", "ROUTINE"},
      {"0040,2016", "PL100"},
      {"0040,2017", "FL200"},
      {"0040,0100/0040,0001", "CT01"},
      {"0040,0100/0040,0002", "20240111"},
      {"0040,0100/0040,0003", "1015"},
      {"0040,0100/0008,0060", "CT"},
      {"0040,0100/0040,0007", "Head protocol"},
      {"0040,0100/0040,0008/0008,0100", "PROT1"},
      {"0040,0100/0040,0008/0008,0102", "LOCALP"},
      {"0040,0100/0040,0008/0008,0104", "Head protocol"},
      {"0040,0100/0040,0009", "SPS001"},
      {"0040,0100/0040,0020", "SCHEDULED"},
  };
  // clang-format on
  for (const auto& [path, value] : expected) {
    SCOPED_TRACE(path);
    EXPECT_EQ(value_at(plan, path), value);
  }
  const Entry& entry = plan.steps.at(0).entries.at(0).entry;
  EXPECT_EQ(entry.data_set.size(), 30u);  // the top-level rows, all present
  EXPECT_TRUE(is_valid_uid(*value_at(plan, "0020,000D")));
  EXPECT_TRUE(value_at(plan, "0020,000D")->starts_with("2.25."));
  EXPECT_TRUE(entry.notes.empty());
  EXPECT_FALSE(entry.dated_by_clock);
  EXPECT_EQ(plan.steps.at(0).entries.at(0).name, "hl7mwld-FL200__RP001__SPS001.wl");
}

// Each row changes the full order and reads one value; nothing: the element is absent.
TEST(PlanMessage, FallbacksAndValueRules) {
  struct Change {
    std::string segment;
    int field;
    std::string text;  // "-" removes the whole segment
  };
  struct Case {
    std::string label;
    std::vector<Change> changes;
    std::string path;
    std::optional<std::string> expected;
  };
  const std::optional<std::string> absent;
  // clang-format off
  const Case cases[] = {
      {"Accession Number from IPC-1", {{"IPC", 1, "ACC-IPC"}}, "0008,0050", "ACC-IPC"},
      {"Requested Procedure ID from IPC-2", {{"IPC", 2, "RP-IPC"}}, "0040,1001", "RP-IPC"},
      {"Requested Procedure ID from the Accession Number", {{"OBR", 19, ""}}, "0040,1001", "ACC001"},
      {"Requested Procedure ID from the order number", {{"OBR", 19, ""}, {"OBR", 18, ""}},
       "0040,1001", "FL200"},
      {"SPS ID from IPC-4", {{"IPC", 4, "SPS-IPC"}}, "0040,0100/0040,0009", "SPS-IPC"},
      {"SPS ID from the Requested Procedure ID", {{"OBR", 20, ""}}, "0040,0100/0040,0009", "RP001"},
      {"placer from OBR-2", {{"ORC", 2, ""}}, "0040,2016", "PL-OBR"},
      {"filler from OBR-3", {{"ORC", 3, ""}}, "0040,2017", "FL-OBR"},
      {"start from OBR-27.4", {{"TQ1", 0, "-"}}, "0040,0100/0040,0002", "20240112"},
      {"start time 000000 without one", {{"TQ1", 0, "-"}}, "0040,0100/0040,0003", "000000"},
      {"start from ORC-7.4", {{"TQ1", 0, "-"}, {"OBR", 27, ""}}, "0040,0100/0040,0003", "093000"},
      {"start from MSH-7", {{"TQ1", 0, "-"}, {"OBR", 27, ""}, {"ORC", 7, ""}},
       "0040,0100/0040,0003", "083000"},
      {"start skips an invalid date", {{"TQ1", 7, "20241301"}}, "0040,0100/0040,0002", "20240112"},
      {"start from the clock", {{"TQ1", 0, "-"}, {"OBR", 27, ""}, {"ORC", 7, ""}, {"MSH", 7, ""}},
       "0040,0100/0040,0002", "20261207"},
      {"start time from the clock",
       {{"TQ1", 0, "-"}, {"OBR", 27, ""}, {"ORC", 7, ""}, {"MSH", 7, "2024"}},
       "0040,0100/0040,0003", "195500"},
      {"priority from ORC-7.6", {{"TQ1", 9, ""}}, "0040,1003", "STAT"},
      {"priority from OBR-27.6", {{"TQ1", 9, ""}, {"ORC", 7, ""}}, "0040,1003", "HIGH"},
      {"priority P", {{"TQ1", 9, "P"}}, "0040,1003", "HIGH"},
      {"priority C", {{"TQ1", 9, "C^Callback"}}, "0040,1003", "HIGH"},
      {"priority T", {{"TQ1", 9, "T"}}, "0040,1003", "MEDIUM"},
      {"unknown priority: absent", {{"TQ1", 9, "Routine"}}, "0040,1003", absent},
      {"modality from IPC-5", {{"IPC", 5, "MR"}}, "0040,0100/0008,0060", "MR"},
      {"modality upper-cased", {{"OBR", 24, "mr"}}, "0040,0100/0008,0060", "MR"},
      {"modality characters outside CS", {{"OBR", 24, "X-RAY"}}, "0040,0100/0008,0060", "X_RAY"},
      {"no modality: OT", {{"OBR", 24, ""}}, "0040,0100/0008,0060", "OT"},
      {"station for the modality", {{"OBR", 24, "MR"}}, "0040,0100/0040,0001", "MR01"},
      {"station for other modalities", {{"OBR", 24, "US"}}, "0040,0100/0040,0001", "OTHER"},
      {"station from IPC-9", {{"IPC", 9, "SCANNER7"}}, "0040,0100/0040,0001", "SCANNER7"},
      {"Study Instance UID from IPC-3", {{"IPC", 3, "1.2.3.4"}, {"ZDS", 1, "1.2.3.5"}},
       "0020,000D", "1.2.3.4"},
      {"Study Instance UID from ZDS-1", {{"ZDS", 1, "1.2.3.5^100^Application^DICOM"}},
       "0020,000D", "1.2.3.5"},
      {"procedure code needs OBR-4.3", {{"OBR", 4, "CT-HEAD^CT Head"}}, "0032,1064", absent},
      {"protocol code needs OBR-4.6", {{"OBR", 4, "CT-HEAD^CT Head^LOCAL^PROT1^Head"}},
       "0040,0100/0040,0008", absent},
      {"description from OBR-4.1", {{"OBR", 4, "CT-HEAD"}}, "0032,1060", "CT-HEAD"},
      {"step description from OBR-4.2", {{"OBR", 4, "CT-HEAD^CT Head"}},
       "0040,0100/0040,0007", "CT Head"},
      {"step description from OBR-4.1", {{"OBR", 4, "CT-HEAD"}}, "0040,0100/0040,0007", "CT-HEAD"},
      {"sex F", {{"PID", 8, "F^"}}, "0010,0040", "F"},
      {"sex O", {{"PID", 8, "O"}}, "0010,0040", "O"},
      {"sex U: empty", {{"PID", 8, "U"}}, "0010,0040", ""},
      {"birth date with a time", {{"PID", 7, "19700215123000"}}, "0010,0030", "19700215"},
      {"birth date not a date", {{"PID", 7, "Aug 15, 1942"}}, "0010,0030", ""},
      {"Admission ID from PID-18", {{"PV1", 19, ""}}, "0038,0010", "ADM-PID"},
      {"no PV1", {{"PV1", 0, "-"}}, "0038,0300", ""},
      {"no PV1: Admission ID from PID-18", {{"PV1", 0, "-"}}, "0038,0010", "ADM-PID"},
      {"location: non-empty components only", {{"PV1", 3, "^^^^^^^^Oak Ridge"}}, "0038,0300",
       "Oak Ridge"},
      {"location: first subcomponents", {{"PV1", 3, "W&x^^B"}}, "0038,0300", "W B"},
      {"UTF-8", {{"MSH", 18, "UNICODE UTF-8"}}, "0008,0005", "ISO_IR 192"},
      {"no MSH-18, text in ASCII: no Specific Character Set", {{"MSH", 18, ""}}, "0008,0005", absent},
      {"no MSH-18, text in UTF-8", {{"MSH", 18, ""}, {"PID", 5, "P\xC3\xA9REZ^JOS\xC3\xA9"}}, "0008,0005",
       "ISO_IR 192"},
      {"no MSH-18, other text: Latin-1", {{"MSH", 18, ""}, {"PID", 5, "P\xC9REZ"}}, "0008,0005",
       "ISO_IR 100"},
      {"C1 control in Latin-1 text: a blank", {{"OBR", 4, "C^CT\x85Head"}}, "0032,1060", "CT Head"},
      {"Requesting Physician from ORC-12", {{"OBR", 16, ""}, {"ORC", 12, "77^ORDER^OLIVIA"}},
       "0032,1032", "ORDER^OLIVIA"},
      {"Referring Physician from ORC-12", {{"PV1", 8, ""}, {"ORC", 12, "77^ORDER^OLIVIA"}},
       "0008,0090", "ORDER^OLIVIA"},
      {"Scheduled Station Name from IPC-7", {{"IPC", 7, "CT SCANNER 2"}}, "0040,0100/0040,0010",
       "CT SCANNER 2"},
      {"SPS Location from IPC-8", {{"IPC", 8, "ROOM3^Room 3"}}, "0040,0100/0040,0011", "ROOM3"},
      {"protocol from IPC-6", {{"IPC", 6, "122793^PET Myocardial Perfusion, Rest and Stress^DCM"}},
       "0040,0100/0040,0008/0008,0100", "122793"},
      {"step description from IPC-6.2", {{"IPC", 6, "122793^PET Myocardial Perfusion^DCM"}},
       "0040,0100/0040,0007", "PET Myocardial Perfusion"},
      {"Patient ID from PID-2", {{"PID", 3, ""}, {"PID", 2, "OLD42"}}, "0010,0020", "OLD42"},
      {"procedure from OBR-44", {{"OBR", 4, ""}, {"OBR", 44, "73700^CT lower extremity^C4"}},
       "0032,1064/0008,0100", "73700"},
      {"description from OBR-44", {{"OBR", 4, ""}, {"OBR", 44, "73700^CT lower extremity^C4"}},
       "0032,1060", "CT lower extremity"},
      {"reason: the code when no text", {{"OBR", 31, "R07.9"}}, "0040,1002", "R07.9"},
      {"weight in lb", {{"OBX", 5, "220"}, {"OBX", 6, "lb"}}, "0010,1030", "99.79"},
      {"weight in g", {{"OBX", 5, "80500"}, {"OBX", 6, "g"}}, "0010,1030", "80.5"},
      {"weight of another observation: empty", {{"OBX", 3, "8302-2^Height^LN"}}, "0010,1030", ""},
      {"HL7's MRI is MR", {{"OBR", 24, "MRI"}}, "0040,0100/0008,0060", "MR"},
      {"HL7's NMS is NM", {{"OBR", 24, "NMS"}}, "0040,0100/0008,0060", "NM"},
      {"station by the translated modality", {{"OBR", 24, "NMR"}}, "0040,0100/0040,0001", "MR01"},
      {"station by the sender's code", {{"OBR", 24, "XR"}}, "0040,0100/0040,0001", "XR01"},
      {"unknown code written as sent", {{"OBR", 24, "OPHTHALMOLOG"}}, "0040,0100/0008,0060",
       "OPHTHALMOLOG"},
      {"OBR-1 of 2: Requested Procedure ID with a suffix",
       {{"OBR", 1, "2"}, {"OBR", 19, ""}, {"OBR", 20, ""}}, "0040,1001", "ACC001_2"},
      {"OBR-1 of 2: SPS ID with a suffix",
       {{"OBR", 1, "2"}, {"OBR", 19, ""}, {"OBR", 20, ""}}, "0040,0100/0040,0009", "ACC001_2"},
      {"OBR-1 of 1: no suffix", {{"OBR", 1, "1"}, {"OBR", 19, ""}}, "0040,1001", "ACC001"},
      {"derived ID longer than SH: its SHA-256",
       {{"OBR", 19, ""}, {"OBR", 18, ""}, {"ORC", 3, std::string(30, '9')}}, "0040,1001",
       "AF164103B451017D"},
      {"UTF-8 description cut at 64 characters", {{"MSH", 18, "UNICODE UTF-8"}, {"OBR", 4, "C^" + kE64 + "\xC3\xA9"}},
       "0032,1060", kE64},
      {"ASCII: no Specific Character Set", {{"MSH", 18, "ASCII"}}, "0008,0005", absent},
      {"in progress", {{"ORC", 5, "IP"}}, "0040,0100/0040,0020", "STARTED"},
      {"escapes in an identifier", {{"PID", 3, "P\\T\\1\\X41\\"}}, "0010,0020", "P&1A"},
      {"UTF-8 identifier of 64 characters kept", {{"MSH", 18, "UNICODE UTF-8"}, {"PID", 3, kE64}},
       "0010,0020", kE64},
      {"first repetition", {{"PID", 3, "P1^^^H1~P2^^^H2"}}, "0010,0021", "H1"},
      {"issuer: first subcomponent", {{"PID", 3, "P1^^^H1&1.2.3&ISO"}}, "0010,0021", "H1"},
      {"long description cut", {{"OBR", 4, "C^" + std::string(70, 'D')}}, "0032,1060",
       std::string(64, 'D')},
      {"long Accession Number kept whole", {{"OBR", 18, std::string(20, '9')}}, "0008,0050",
       std::string(20, '9')},
      {"long location cut", {{"PV1", 3, std::string(70, 'L')}}, "0038,0300", std::string(64, 'L')},
      {"description longer than an element holds: cut", {{"OBR", 4, "C^" + std::string(70000, 'D')}},
       "0032,1060", std::string(64, 'D')},
      // "½" in Latin-1 is one character, a continuation byte in UTF-8.
      {"Latin-1 description cut at 64 bytes", {{"OBR", 4, "C^" + std::string(70, '\xBD')}},
       "0032,1060", std::string(64, '\xBD')},
      {"UTF-8 description of 64 characters kept",
       {{"MSH", 18, "UNICODE UTF-8"}, {"OBR", 4, "C^" + std::string(63, 'D') + "\xC2\xBD"}},
       "0032,1060", std::string(63, 'D') + "\xC2\xBD"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Segments segments = full_order();
    for (const Change& change : c.changes) {
      if (change.text == "-") {
        remove(segments, change.segment);
      } else {
        set(segments, change.segment, change.field, change.text);
      }
    }
    // IPC and ZDS follow the OBR they belong to.
    std::stable_partition(segments.begin(), segments.end(), [](const auto& segment) {
      return segment.first != "IPC" && segment.first != "ZDS";
    });
    const MessagePlan plan = plan_of(message_text(segments));
    ASSERT_FALSE(plan.rejection) << plan.rejection->text;
    EXPECT_EQ(value_at(plan, c.path), c.expected);
  }
}

TEST(PlanMessage, WhatTheOutcomeLineSays) {
  struct Case {
    std::string label;
    int field;
    std::string segment;
    std::string text;
    std::vector<std::string> notes;
  };
  // clang-format off
  const Case cases[] = {
      {"long identifier", 18, "OBR", std::string(17, 'A'),
       {"OBR-18 is longer than 16 characters (kept whole)"}},
      {"Requested Procedure ID of 64 characters", 19, "OBR", std::string(64, 'R'),
       {"OBR-19 is longer than 16 characters (kept whole)"}},
      {"long issuer", 3, "PID", "P^^^" + std::string(65, 'I'),
       {"PID-3.4 is longer than 64 characters (cut)"}},
      {"long modality", 24, "OBR", std::string(17, 'M'),
       {"OBR-24 " + std::string(17, 'M') + " is not a DICOM modality",
        "OBR-24 is longer than 16 characters (cut)"}},
      {"modality translated", 24, "OBR", "MRI", {"OBR-24 MRI written as the DICOM modality MR"}},
      {"Patient ID from PID-2", 3, "PID", "", {"Patient ID from PID-2 (PID-3 is empty)"}},
      {"derived ID longer than SH", 19, "OBR", "",
       {"Requested Procedure ID AF164103B451017D: the SHA-256 of " + std::string(30, '9') +
        " (from ORC-3, longer than 16 characters)"}},
      {"long description: nothing said", 4, "OBR", "C^" + std::string(65, 'D'), {}},
      {"location longer than an element holds", 3, "PV1", std::string(70000, 'L'),
       {"PV1-3 is longer than 64 characters (cut)"}},
      {"long name: nothing said", 5, "PID", std::string(65, 'N'), {}},
      {"no start date", 7, "MSH", "",
       {"no start date in TQ1-7, OBR-27.4, ORC-7.4 or MSH-7: scheduled at the time of the run"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Segments segments = full_order();
    set(segments, c.segment, c.field, c.text);
    if (c.label == "Patient ID from PID-2") set(segments, "PID", 2, "OLD42");
    if (c.label == "derived ID longer than SH") {
      set(segments, "OBR", 18, "");
      set(segments, "OBR", 20, "SPS1");
      set(segments, "ORC", 3, std::string(30, '9'));
    }
    if (c.segment == "MSH") {
      remove(segments, "TQ1");
      set(segments, "OBR", 27, "");
      set(segments, "ORC", 7, "");
    }
    const MessagePlan plan = plan_of(message_text(segments));
    ASSERT_FALSE(plan.rejection) << plan.rejection->text;
    const Entry& entry = plan.steps.at(0).entries.at(0).entry;
    EXPECT_EQ(entry.notes, c.notes);
    EXPECT_EQ(entry.dated_by_clock, c.segment == "MSH");
  }
}

std::string repeated(const std::string& text, std::size_t count) {
  std::string all;
  for (std::size_t i = 0; i < count; ++i) all += text;
  return all;
}

TEST(PlanMessage, Refusals) {
  const std::string msh = "MSH|^~\\&|RIS||||20240105||ORM^O01|M1|P|2.3\r";
  const std::string pid = "PID|||P1||DOE^J\r";
  const std::string order = "ORC|NW|PL1\rOBR|1|PL1||X^X-ray\r";
  struct Case {
    std::string label;
    std::string text;
    int code;
    std::string reason;
  };
  // clang-format off
  const Case cases[] = {
      {"no readable MSH", "PID|||P1\r", kSegmentSequenceError, "no readable MSH segment"},
      {"message type", "MSH|^~\\&|||||||ORU^R01|1\r" + pid, kUnsupportedMessageType,
       "unsupported message type ORU^R01"},
      {"message type without trigger", "MSH|^~\\&|||||||ORM|1\r" + pid + order,
       kUnsupportedMessageType, "unsupported message type ORM"},
      {"ORU", "MSH|^~\\&|||||||ORU^R01|1\r" + pid + order, kUnsupportedMessageType,
       "unsupported message type ORU^R01"},
      {"character set", "MSH|^~\\&|||||||OMI^O23|1||2.5||||||8859/2\r" + pid + order,
       kTableValueNotFound, "unknown character set 8859/2"},
      {"no PID", msh + order, kSegmentSequenceError, "no PID segment"},
      {"no OBR", msh + pid + "ORC|NW|PL1\r", kSegmentSequenceError, "no OBR segment"},
      {"no ORC and no OBR", msh + pid, kSegmentSequenceError, "no OBR segment"},
      {"no PID and no OBR: the first missing named", msh, kSegmentSequenceError, "no PID segment"},
      {"empty Patient ID", msh + "PID|||^^^HOSP||DOE\r" + order, kRequiredFieldMissing,
       "no Patient ID in PID-3 or PID-2"},
      {"empty name after mapping", msh + "PID|||P1||\\H\\ ^ \r" + order, kRequiredFieldMissing,
       "no Patient's Name in PID-5"},
      {"OBR-4 with only a scheme, no OBR-44, no IPC-6", msh + pid + "ORC|NW|PL1\rOBR|1|PL1||^^L\r",
       kRequiredFieldMissing, "no procedure in OBR-4, OBR-44 or IPC-6"},
      {"no order number, no accession", msh + pid + "ORC|NW\rOBR|1|||X\r", kRequiredFieldMissing,
       "no order number and no accession number"},
      {"one refused order refuses the message",
       msh + pid + order + "ORC|NW|PL2\rOBR|1|PL2||^^\r", kRequiredFieldMissing,
       "no procedure in OBR-4, OBR-44 or IPC-6"},
      {"cancel without an order number", msh + "ORC|CA\r", kRequiredFieldMissing,
       "no order number to cancel"},
      {"identifier of 65 characters", msh + "PID|||" + std::string(65, '1') + "||D\r" + order,
       kDataTypeError, "PID-3 is longer than 64 characters"},
      {"NUL in an order number", msh + pid + "ORC|NW|A\\X00\\B\rOBR|1|||X\r", kDataTypeError,
       "ORC-2 holds a control character or \"\\\", which an identifier cannot carry"},
      {"CR in an order number", msh + pid + "ORC|NW||A\\X0D\\B\rOBR|1|||X\r", kDataTypeError,
       "ORC-3 holds a control character or \"\\\", which an identifier cannot carry"},
      {"\"\\\" in an accession number", msh + pid + "ORC|NW|PL1\rOBR|1|||X" + std::string(14, '|') + "A\\E\\B\r",
       kDataTypeError, "OBR-18 holds a control character or \"\\\", which an identifier cannot carry"},
      {"more entries than --max-entries", msh + pid + "ORC|NW|PL1\r" + repeated("OBR|1|||X\r", 101),
       kApplicationInternalError, "the message would write 101 entries (--max-entries 100)"},
      {"more order groups than --max-entries", msh + repeated("ORC|CA|PL1\r", 101),
       kApplicationInternalError, "the message holds 101 order groups (--max-entries 100)"},
      {"an update without PID", "MSH|^~\\&|||||||ADT^A08|1\rPV1|1|I\r", kSegmentSequenceError,
       "no PID segment"},
      {"an update without a patient identity", "MSH|^~\\&|||||||ADT^A08|1\rPID|1||^^^H||X\r",
       kRequiredFieldMissing, "no Patient ID in PID-3 or PID-2"},
      {"a merge without a prior identifier", "MSH|^~\\&|||||||ADT^A40|1\rPID|1||P2\rMRG|^^^H\r",
       kRequiredFieldMissing, "no prior patient identifier in MRG-1 or MRG-4"},
      {"a merge whose second MRG names nobody: nothing of it",
       "MSH|^~\\&|||||||ADT^A40|1\rPID|1||P2\rMRG|P1\rPID|1||P3\rMRG|||X\r",
       kRequiredFieldMissing, "no prior patient identifier in MRG-1 or MRG-4"},
      {"a start without order numbers", "MSH|^~\\&|||||||ORM^O01|1\rORC|SC||||IP\r",
       kRequiredFieldMissing, "no order number to start"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const MessagePlan plan = plan_of(c.text);
    ASSERT_TRUE(plan.rejection);
    EXPECT_EQ(plan.rejection->code, c.code);
    EXPECT_EQ(plan.rejection->text, c.reason);
    EXPECT_TRUE(plan.steps.empty() && plan.patient_steps.empty());
  }
}

TEST(OrderAction, ControlAndStatus) {
  struct Case {
    std::string control;
    std::string status;
    OrderAction expected;
  };
  // clang-format off
  const Case cases[] = {
      {"NW", "", OrderAction::create},     {"XO", "IP", OrderAction::create},
      {"", "", OrderAction::create},       {"SC", "SC", OrderAction::create},
      {"SC", "IP", OrderAction::start},    {"SC", "", OrderAction::create},
      {"CA", "", OrderAction::cancel},     {"OC", "CM", OrderAction::cancel},
      {"DC", "", OrderAction::cancel},     {"OD", "", OrderAction::cancel},
      {"SC", "CA", OrderAction::cancel},   {"SC", "DC", OrderAction::cancel},
      {"SC", "CM", OrderAction::cancel},   {"SC", "HD", OrderAction::none},
      {"RE", "", OrderAction::none},       {"XR", "", OrderAction::none},
      {"nw", "", OrderAction::none},       {"NW ", "", OrderAction::none},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control + "/" + c.status);
    EXPECT_EQ(order_action(c.control, c.status), c.expected);
  }
}

// Which entries a message's segments give, and their names: order number, Requested
// Procedure ID and SPS ID, with a position only where they alone do not tell entries apart.
TEST(PlanMessage, OrderGroupsToEntries) {
  const std::string head = "MSH|^~\\&|||||20240105||OMI^O23|M1|P|2.5\rPID|||P1||DOE\r";
  struct Case {
    std::string label;
    std::string segments;
    std::vector<std::vector<std::string>> names;  // per step
  };
  // clang-format off
  const Case cases[] = {
      {"two OBRs under one ORC", "ORC|NW|PL1|F1\rOBR|1|||A^A|||||||||||||||R1|S1\r"
       "OBR|2|||B^B|||||||||||||||R2|S2\r",
       {{"hl7mwld-F1__R1__S1.wl", "hl7mwld-F1__R2__S2.wl"}}},
      {"OBR before any ORC", "OBR|1|PL1||A^A|||||||||||||||R1|S1\r", {{"hl7mwld-PL1__R1__S1.wl"}}},
      {"two ORC groups", "ORC|NW|PL1\rOBR|1|||A^A|||||||||||||||R1\rORC|NW|PL2\rOBR|1|||B^B\r",
       {{"hl7mwld-PL1__R1__R1.wl"}, {"hl7mwld-PL2__PL2__PL2.wl"}}},
      {"one entry per IPC", "ORC|NW|PL1\rOBR|1|||A^A\rIPC|ACC1|RP1|1.2.3|SPS1|CT\r"
       "IPC|ACC1|RP1|1.2.3|SPS2|MR\r",
       {{"hl7mwld-PL1__RP1__SPS1.wl", "hl7mwld-PL1__RP1__SPS2.wl"}}},
      {"same identity told apart by position",
       "ORC|NW|PL1\rOBR|1|||A^A|||||||||||||||R1|S1\rOBR|2|||B^B|||||||||||||||R1|S1\r",
       {{"hl7mwld-PL1__R1__S1__1.wl", "hl7mwld-PL1__R1__S1__2.wl"}}},
      {"a cancel and a new order", "ORC|CA|PL0\rORC|NW|PL1\rOBR|1|||A^A\r",
       {{}, {"hl7mwld-PL1__PL1__PL1.wl"}}},
      {"an order control that changes nothing", "ORC|RE|PL1\rOBR|1|||A^A\r", {{}}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const MessagePlan plan = plan_of(head + c.segments);
    ASSERT_FALSE(plan.rejection) << plan.rejection->text;
    std::vector<std::vector<std::string>> names;
    for (const OrderStep& step : plan.steps) {
      names.emplace_back();
      for (const EntryFile& file : step.entries) names.back().push_back(file.name);
    }
    EXPECT_EQ(names, c.names);
  }
}

TEST(PlanMessage, TheFirstTq1AppliesToEveryObrOfItsOrder) {
  const MessagePlan plan = plan_of(
      "MSH|^~\\&|||||20240105||OMG^O19|M1\rPID|||P1||DOE\r"
      "ORC|NW|PL1\rTQ1|||||||20240301\rTQ1|||||||20240302\rOBR|1|||A^A|||||||||||||||R1\r"
      "OBR|2|||B^B|||||||||||||||R2\rZDS|1.2.3\rORC|NW|PL2\rOBR|1|||C^C\r");
  ASSERT_FALSE(plan.rejection) << plan.rejection->text;
  struct Expected {
    std::size_t step, entry;
    std::string date;
    std::optional<std::string> study;
  };
  for (const Expected& e :
       {Expected{0, 0, "20240301", std::nullopt}, Expected{0, 1, "20240301", "1.2.3"},
        Expected{1, 0, "20240105", std::nullopt}}) {
    SCOPED_TRACE(e.date);
    const DataSet& data_set = plan.steps.at(e.step).entries.at(e.entry).entry.data_set;
    const Element* step = find_element(data_set, 0x00400100);
    EXPECT_EQ(find_element(step->items.at(0), 0x00400002)->value, e.date);
    const std::string& study = find_element(data_set, 0x0020000D)->value;
    if (e.study) {
      EXPECT_EQ(study, *e.study);
    } else {
      EXPECT_TRUE(study.starts_with("2.25."));
    }
  }
}

}  // namespace
