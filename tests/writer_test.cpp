// The dump of a message: whole files, and each row's value and condition at its boundaries.
#include "dump/writer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "hl7/reader.h"
#include "temp_file.h"

namespace {

using Lines = std::vector<std::string>;

// The dump bytes for message text, read and written through temporary files.
std::string dump_of(const std::string& message_text) {
  SegmentList message;
  read_message(TempFile(message_text).get(), true, message);
  const TempFile output;
  write_dump(output.get(), select_segments(message));
  return contents_of(output.get());
}

// One segment line with the given fields at their HL7 positions, empty fields between.
std::string segment(const std::string& id, const std::map<int, std::string>& fields) {
  std::string line = id;
  int position = 0;
  for (const auto& [number, text] : fields) {
    line.append(number - position, '|');
    line += text;
    position = number;
  }
  return line + "\n";
}

std::string file_bytes(const std::string& name) {
  std::ifstream file(std::string(HL7MWL_TEST_DATA) + "/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

TEST(WriteDump, WholeFiles) {
  struct Case {
    std::string label;
    std::string message;
    std::string dump;
  };
  const Case cases[] = {
      {"worked example", file_bytes("order.hl7"), file_bytes("order.dump")},
      {"every condition false", "PID\nOBR\n", file_bytes("empty.dump")},
      {"no segments at all", "", file_bytes("empty.dump")},
      {"CR-only file is one line", "MSH|x\rPID|1\rOBR|1\r", file_bytes("empty.dump")},
      {"byte-order mark before MSH", "\xEF\xBB\xBF" + file_bytes("order.hl7"),
       file_bytes("order.dump")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(dump_of(c.message), c.dump);
  }
}

// The lines of a dump that begin with `tag`, in order.
Lines lines_with(const std::string& dump, const std::string& tag) {
  Lines found;
  std::istringstream lines(dump);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(tag)) found.push_back(line.substr(0, line.size() - 1));  // less the CR
  }
  return found;
}

TEST(WriteDump, RowValuesAndConditions) {
  const std::string pid = "PID|1||P1\n";
  const std::string obr = "OBR|1\n";
  struct Case {
    std::string label;
    std::string message;
    std::string tag;
    Lines expected;
  };
  // clang-format off
  const Case cases[] = {
      {"last PID wins", "PID|1||A\n" + obr + "PID|1||B\n", "(0010,0020)", {"(0010,0020) LO B"}},
      {"kinds chosen apart", segment("PV1", {{3, "W1"}}) + pid + segment("OBR", {{20, "S1"}}) +
           segment("PV1", {{3, "W2"}}) + "OBR|2\n", "(0038,0300)", {"(0038,0300) LO W2 W2"}},
      {"ID must match exactly", "PID|1||A\npid|1||B\nPIDX|1||C\n PID|1||D\n" + obr,
       "(0010,0020)", {"(0010,0020) LO A"}},
      {"PV1-8 empty", pid + segment("PV1", {{3, "W"}}) + obr, "(0008,0090)", {}},
      {"no PV1", pid + obr, "(0038,0300)", {"(0038,0300) LO  "}},
      {"PID-18 empty", pid + obr, "(0038,001", {}},
      {"PID-18 one component", segment("PID", {{18, "V1"}}) + obr, "(0038,001",
       {"(0038,0010) LO V1"}},
      {"PID-18 trailing carets", segment("PID", {{18, "V1^^^"}}) + obr, "(0038,001",
       {"(0038,0010) LO V1"}},
      {"PID-18 four components", segment("PID", {{18, "V1^^^AUTH"}}) + obr, "(0038,001",
       {"(0038,0010) LO V1", "(0038,0011) LO AUTH"}},
      {"PID-18 repetitions", segment("PID", {{18, "A~B^^^X~Y"}}) + obr, "(0038,001",
       {"(0038,0010) LO A~B", "(0038,0011) LO X~Y"}},
      {"OBR-27 three components", pid + segment("OBR", {{27, "1^^^"}}), "(0040,000",
       {"(0040,0009) SH ", "(0040,0009) SH "}},
      {"OBR-15 four components", pid + segment("OBR", {{4, "C^TEXT"}, {15, "A^^^D"}}),
       "(0032,1060)", {"(0032,1060) LO TEXT"}},
      {"OBR-15 five components", pid + segment("OBR", {{4, "C^TEXT"}, {15, "A^^^D^E"}}),
       "(0032,1060)", {"(0032,1060) LO TEXT E"}},
      {"OBR-15 empty fifth", pid + segment("OBR", {{4, "C^TEXT"}, {15, "A^^^^^F"}}),
       "(0032,1060)", {"(0032,1060) LO TEXT "}},
      {"OBR-4 code only", pid + segment("OBR", {{4, "C"}}), "(0032,1060)", {"(0032,1060) LO "}},
      {"OBR-4 four components", pid + segment("OBR", {{4, "C^T^S^A"}}), "(0040,0007)", {}},
      {"OBR-4 five components", pid + segment("OBR", {{4, "C^T^S^A^ALT"}}), "(0040,0007)",
       {"(0040,0007) LO ALT"}},
      {"values whole and unchanged", pid + segment("OBR", {{18, "ACC-0123456789-ABCDEF\\F\\#"}}),
       "(0008,0050)", {"(0008,0050) SH ACC-0123456789-ABCDEF\\F\\#"}},
      {"8-bit bytes unchanged", "PID|1||P1||M\xdcLLER^J\xd6RG\n" + obr, "(0010,0010)",
       {"(0010,0010) PN M\xdcLLER^J\xd6RG"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(lines_with(dump_of(c.message), c.tag), c.expected);
  }
}

// One date/time text as PID-7 (birth date and time) and as OBR-27.4 (step start date and time).
TEST(WriteDump, DateAndTimeParts) {
  struct Case {
    std::string date_time, date, time;
  };
  const Case cases[] = {
      {"", "", ""},
      {"1980010", "1980010", ""},
      {"19800101", "19800101", ""},
      {"198001011", "19800101", "1"},
      {"198001011230", "19800101", "1230"},
      {"19800101123045", "19800101", "123045"},
      {"19800101123045.1234+0100", "19800101", "123045"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("date/time: " + c.date_time);
    const std::string dump = dump_of(segment("PID", {{7, c.date_time}}) +
                                     segment("OBR", {{27, "1^^^" + c.date_time + "^"}}));
    EXPECT_EQ(lines_with(dump, "(0010,003"),
              (Lines{"(0010,0030) DA " + c.date, "(0010,0032) TM " + c.time}));
    EXPECT_EQ(lines_with(dump, "(0040,000"),
              (Lines{"(0040,0009) SH ", "(0040,0002) DA " + c.date, "(0040,0003) TM " + c.time,
                     "(0040,0009) SH "}));
  }
}

TEST(SelectSegments, AbsentKindsAreNull) {
  const SegmentList message = {{}, {"PID", "1"}, {"OBR"}, {"PID", "2"}};
  const Selection selected = select_segments(message);
  EXPECT_EQ(selected.pid, &message[3]);
  EXPECT_EQ(selected.pv1, nullptr);
  EXPECT_EQ(selected.obr, &message[2]);
}

}  // namespace
