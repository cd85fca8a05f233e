// The table of dump lines and the one loop that writes it.
#include "dump/writer.h"

#include <string>
#include <string_view>
#include <vector>

#include "hl7/split_on.h"

namespace {

// What the rows read: the selected segments, absent ones as empty, and the four fields that
// are used by component.
struct Source {
  const Segment& pid;
  const Segment& pv1;
  const Segment& obr;
  std::vector<std::string> patient_account;  // PID-18
  std::vector<std::string> service;          // OBR-4
  std::vector<std::string> specimen_source;  // OBR-15
  std::vector<std::string> quantity_timing;  // OBR-27
};

// An HL7 date/time is YYYYMMDD then HHMMSS; fractions of a second and a zone offset are dropped.
std::string date_part(const std::string& date_time) { return date_time.substr(0, 8); }

std::string time_part(const std::string& date_time) {
  return date_time.size() > 8 ? date_time.substr(8, 6) : std::string();
}

std::string requested_procedure(const Source& s) {
  std::string text = component(s.service, 2);
  if (s.specimen_source.size() >= 5) text += " " + component(s.specimen_source, 5);
  return text;
}

struct Row {
  std::string_view text;
  std::string (*value)(const Source&);
  bool (*written)(const Source&);
};

bool always(const Source&) { return true; }
bool start_given(const Source& s) { return s.quantity_timing.size() >= 4; }

const Row kRows[] = {
    {"(0008,0005) CS [ISO_IR 100]", nullptr, always},
    {"(0008,0090) PN ", [](const Source& s) { return field(s.pv1, 8); },
     [](const Source& s) { return !field(s.pv1, 8).empty(); }},
    {"(0010,0010) PN ", [](const Source& s) { return field(s.pid, 5); }, always},
    {"(0010,0020) LO ", [](const Source& s) { return field(s.pid, 3); }, always},
    {"(0010,0030) DA ", [](const Source& s) { return date_part(field(s.pid, 7)); }, always},
    {"(0010,0032) TM ", [](const Source& s) { return time_part(field(s.pid, 7)); }, always},
    {"(0010,0040) CS ", [](const Source& s) { return field(s.pid, 8); }, always},
    {"(0010,1040) LO ", [](const Source& s) { return field(s.pid, 11); }, always},
    {"(0032,1060) LO ", requested_procedure, always},
    {"(0038,0010) LO ", [](const Source& s) { return component(s.patient_account, 1); },
     [](const Source& s) { return s.patient_account.size() >= 1; }},
    {"(0038,0011) LO ", [](const Source& s) { return component(s.patient_account, 4); },
     [](const Source& s) { return s.patient_account.size() >= 4; }},
    {"(0038,0300) LO ", [](const Source& s) { return field(s.pv1, 3) + " " + field(s.pv1, 3); },
     always},
    {"(0040,0009) SH ", [](const Source& s) { return field(s.obr, 20); }, always},
    {"(0040,0100) SQ", nullptr, always},
    {"(fffe,e000) -", nullptr, always},
    {"(0008,0050) SH ", [](const Source& s) { return field(s.obr, 18); }, always},
    {"(0008,0060) CS ", [](const Source& s) { return field(s.obr, 24); }, always},
    {"(0040,0002) DA ", [](const Source& s) { return date_part(component(s.quantity_timing, 4)); },
     start_given},
    {"(0040,0003) TM ", [](const Source& s) { return time_part(component(s.quantity_timing, 4)); },
     start_given},
    {"(0040,0007) LO ", [](const Source& s) { return component(s.service, 5); },
     [](const Source& s) { return s.service.size() >= 5; }},
    {"(0040,0009) SH ", [](const Source& s) { return field(s.obr, 20); }, always},
    {"(fffe,e00d) -", nullptr, always},
    {"(fffe,e0dd) -", nullptr, always},
    {"(0040,1001) SH ", [](const Source& s) { return field(s.obr, 19); }, always},
};

const Segment kNoSegment;

}  // namespace

Selection select_segments(const SegmentList& message) {
  Selection selection;
  for (const Segment& segment : message) {
    const std::string& id = field(segment, 0);
    if (id == "PID") {
      selection.pid = &segment;
    } else if (id == "PV1") {
      selection.pv1 = &segment;
    } else if (id == "OBR") {
      selection.obr = &segment;
    }
  }
  return selection;
}

void write_dump(std::FILE* output, const Selection& selected) {
  const Segment& pid = selected.pid ? *selected.pid : kNoSegment;
  const Segment& obr = selected.obr ? *selected.obr : kNoSegment;
  const Source source{pid,
                      selected.pv1 ? *selected.pv1 : kNoSegment,
                      obr,
                      split_on(field(pid, 18), '^'),
                      split_on(field(obr, 4), '^'),
                      split_on(field(obr, 15), '^'),
                      split_on(field(obr, 27), '^')};
  std::string line;
  for (const Row& row : kRows) {
    if (!row.written(source)) continue;
    line = row.text;
    if (row.value) line += row.value(source);
    // The dump's line end is CR LF on every platform; each line reaches the file when complete.
    line += "\r\n";
    std::fwrite(line.data(), 1, line.size(), output);
    std::fflush(output);
  }
}
