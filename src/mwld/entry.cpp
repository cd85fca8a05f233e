// The mapping table: one row per attribute of a worklist entry, in the order of the documented
// table, each with its source; and the value rules the rows share.
#include "mwld/entry.h"

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "mwld/values.h"
#include "platform.h"

namespace {

// A value and the HL7 field it came from, which the outcome line names.
struct Sourced {
  std::string text;
  std::string_view source;
};

// When the message gives no start date, the entry is scheduled at the time of the run.
struct Start {
  std::string date;
  std::string time;
  bool from_clock = false;
};

struct Context {
  const EntrySource& source;
  const Identity& identity;
  const Separators& separators;
  Start start;
  Encoding encoding;
};

// What a row does with a value longer than its VR allows.
enum class Length {
  fits,          // the row's values always fit (dates, times, UIDs, fixed terms)
  cut,           // names and descriptions: cut
  cut_and_say,   // other values: cut, and the outcome line says so
  keep_and_say,  // identifiers and codes: written whole, and the outcome line says so; a
                 // shortened identifier names a different order
};

using ValueOf = std::optional<Sourced> (*)(const Context&);

struct Row {
  std::uint32_t tag;
  std::string_view vr;
  std::string_view keyword;
  Length length;
  ValueOf value;                           // nothing: the element is absent
  const std::vector<Row>* item = nullptr;  // the rows of a sequence's one item
};

// The longest identifier kept whole (the LO limit); a longer one is refused.
constexpr std::size_t kLongestIdentifier = 64;

std::size_t longest_value(std::string_view vr) {
  if (vr == "LO" || vr == "PN" || vr == "UI") return 64;
  if (vr == "DA") return 8;
  return 16;  // AE, CS, SH, TM
}

// A field's text value, with the name of its source.
Sourced at(const Fields* segment, std::size_t number, std::size_t component,
           std::string_view source, const Separators& separators) {
  return {field_text(segment, number, component, separators), source};
}

// An identifier's text, with the name of its source.
Sourced id_at(const Fields* segment, std::size_t number, std::size_t component,
              std::string_view source, const Separators& separators) {
  return {identifier_text(segment, number, component, separators), source};
}

// The first value that is not empty; the last when all are.
Sourced first_set(std::initializer_list<Sourced> values) {
  for (const Sourced& value : values) {
    if (!value.text.empty()) return value;
  }
  return *(values.end() - 1);
}

const Separators& separators_of(const EntrySource& s) { return s.message.separators; }

const Fields* msh(const EntrySource& s) { return &s.message.segments.front(); }

Sourced accession_number(const EntrySource& s) {
  const Separators& p = separators_of(s);
  return first_set({id_at(s.ipc, 1, 1, "IPC-1", p), id_at(s.procedure.obr, 18, 1, "OBR-18", p)});
}

// An order's numbers, from its ORC, else from an OBR of its group.
Sourced filler_number(const Fields* orc, const Fields* obr, const Separators& p) {
  return first_set({id_at(orc, 3, 1, "ORC-3", p), id_at(obr, 3, 1, "OBR-3", p)});
}

Sourced placer_number(const Fields* orc, const Fields* obr, const Separators& p) {
  return first_set({id_at(orc, 2, 1, "ORC-2", p), id_at(obr, 2, 1, "OBR-2", p)});
}

Sourced filler_number(const EntrySource& s) {
  return filler_number(s.group.orc, s.procedure.obr, separators_of(s));
}

Sourced placer_number(const EntrySource& s) {
  return placer_number(s.group.orc, s.procedure.obr, separators_of(s));
}

Sourced order_number(const EntrySource& s) {
  return first_set({filler_number(s), placer_number(s)});
}

Sourced requested_procedure_id(const EntrySource& s) {
  const Separators& p = separators_of(s);
  return first_set({id_at(s.ipc, 2, 1, "IPC-2", p), id_at(s.procedure.obr, 19, 1, "OBR-19", p),
                    accession_number(s), order_number(s)});
}

Sourced step_id(const EntrySource& s) {
  const Separators& p = separators_of(s);
  return first_set({id_at(s.ipc, 4, 1, "IPC-4", p), id_at(s.procedure.obr, 20, 1, "OBR-20", p),
                    requested_procedure_id(s)});
}

Sourced modality(const EntrySource& s) {
  const Separators& p = separators_of(s);
  Sourced value = first_set({at(s.ipc, 5, 1, "IPC-5", p), at(s.procedure.obr, 24, 1, "OBR-24", p)});
  value.text = code_string(value.text);
  if (value.text.empty()) value.text = "OT";
  return value;
}

Sourced person(const Fields* segment, std::size_t number, NameType type, std::string_view source,
               const Separators& separators, Encoding encoding) {
  if (!segment) return {"", source};
  return {person_name(field(*segment, number), type, separators, encoding), source};
}

Start scheduled_start(const EntrySource& s) {
  const Separators& p = separators_of(s);
  auto raw = [&p](const Fields* segment, std::size_t number, std::size_t component) {
    return segment ? part_of(field(*segment, number), component, p) : std::string_view();
  };
  for (std::string_view text : {raw(s.group.tq1, 7, 1), raw(s.procedure.obr, 27, 4),
                                raw(s.group.orc, 7, 4), raw(msh(s), 7, 1)}) {
    if (starts_with_date(text)) return {std::string(text.substr(0, 8)), time_after_date(text)};
  }
  return {s.options.date, s.options.time, true};
}

std::optional<Sourced> priority(const Context& c) {
  const EntrySource& s = c.source;
  const Separators& p = c.separators;
  const Sourced code =
      first_set({at(s.group.tq1, 9, 1, "TQ1-9", p), at(s.group.orc, 7, 6, "ORC-7.6", p),
                 at(s.procedure.obr, 27, 6, "OBR-27.6", p)});
  struct Priority {
    std::string_view hl7;
    std::string_view dicom;
  };
  constexpr Priority kPriorities[] = {{"S", "STAT"}, {"A", "HIGH"},    {"P", "HIGH"},
                                      {"C", "HIGH"}, {"R", "ROUTINE"}, {"T", "MEDIUM"}};
  for (const Priority& row : kPriorities) {
    if (row.hl7 == code.text) return Sourced{std::string(row.dicom), code.source};
  }
  return std::nullopt;
}

std::optional<Sourced> station_ae_title(const Context& c) {
  const EntrySource& s = c.source;
  Sourced title = at(s.ipc, 9, 1, "IPC-9", c.separators);
  if (!title.text.empty()) return title;
  const std::string entry_modality = modality(s).text;
  for (const auto& [modality_name, ae_title] : s.options.stations.by_modality) {
    if (modality_name == entry_modality) return Sourced{ae_title, "--station-aet"};
  }
  return Sourced{s.options.stations.other, "--station-aet"};
}

std::optional<Sourced> study_instance_uid(const Context& c) {
  const Separators& p = c.separators;
  for (const Sourced& uid :
       {at(c.source.ipc, 3, 1, "IPC-3", p), at(c.source.procedure.zds, 1, 1, "ZDS-1", p)}) {
    if (is_valid_uid(uid.text)) return uid;
  }
  return Sourced{derived_uid(c.identity, "study"), ""};
}

std::optional<Sourced> location(const Context& c) {
  const Fields* pv1 = c.source.pv1;
  std::string joined;
  if (pv1) {
    for (std::string_view component : components_of(field(*pv1, 3), c.separators)) {
      const std::string text = text_value(decode_escapes(component, c.separators));
      if (text.empty()) continue;
      if (!joined.empty()) joined += ' ';
      joined += text;
    }
  }
  return Sourced{joined, "PV1-3"};
}

// OBR-4 as a code: the triple code^meaning^scheme at `first` (1 for the code of the procedure,
// 4 for its alternate, the protocol); present only when code and scheme are both set.
bool has_code(const Context& c, std::size_t first) {
  const Fields* obr = c.source.procedure.obr;
  return !at(obr, 4, first, "", c.separators).text.empty() &&
         !at(obr, 4, first + 2, "", c.separators).text.empty();
}

std::optional<Sourced> present_when(bool condition) {
  return condition ? std::optional<Sourced>(Sourced{}) : std::nullopt;
}

// clang-format off
const std::vector<Row> kRequestedProcedureCode = {
    {0x00080100, "SH", "CodeValue", Length::keep_and_say,
     [](const Context& c) -> std::optional<Sourced> { return id_at(c.source.procedure.obr, 4, 1, "OBR-4.1", c.separators); }},
    {0x00080102, "SH", "CodingSchemeDesignator", Length::keep_and_say,
     [](const Context& c) -> std::optional<Sourced> { return id_at(c.source.procedure.obr, 4, 3, "OBR-4.3", c.separators); }},
    {0x00080104, "LO", "CodeMeaning", Length::cut,
     [](const Context& c) -> std::optional<Sourced> { return at(c.source.procedure.obr, 4, 2, "OBR-4.2", c.separators); }},
};

const std::vector<Row> kScheduledProtocolCode = {
    {0x00080100, "SH", "CodeValue", Length::keep_and_say,
     [](const Context& c) -> std::optional<Sourced> { return id_at(c.source.procedure.obr, 4, 4, "OBR-4.4", c.separators); }},
    {0x00080102, "SH", "CodingSchemeDesignator", Length::keep_and_say,
     [](const Context& c) -> std::optional<Sourced> { return id_at(c.source.procedure.obr, 4, 6, "OBR-4.6", c.separators); }},
    {0x00080104, "LO", "CodeMeaning", Length::cut,
     [](const Context& c) -> std::optional<Sourced> { return at(c.source.procedure.obr, 4, 5, "OBR-4.5", c.separators); }},
};

const std::vector<Row> kScheduledProcedureStep = {
    {0x00400001, "AE", "ScheduledStationAETitle", Length::cut_and_say, station_ae_title},
    {0x00400002, "DA", "ScheduledProcedureStepStartDate", Length::fits,
     [](const Context& c) -> std::optional<Sourced> { return Sourced{c.start.date, ""}; }},
    {0x00400003, "TM", "ScheduledProcedureStepStartTime", Length::fits,
     [](const Context& c) -> std::optional<Sourced> { return Sourced{c.start.time, ""}; }},
    {0x00080060, "CS", "Modality", Length::cut_and_say,
     [](const Context& c) -> std::optional<Sourced> { return modality(c.source); }},
    {0x00400007, "LO", "ScheduledProcedureStepDescription", Length::cut,
     [](const Context& c) -> std::optional<Sourced> {
       const Fields* obr = c.source.procedure.obr;
       return first_set({at(obr, 4, 5, "OBR-4.5", c.separators), at(obr, 4, 2, "OBR-4.2", c.separators),
                         at(obr, 4, 1, "OBR-4.1", c.separators)}); }},
    {0x00400008, "SQ", "ScheduledProtocolCodeSequence", Length::fits,
     [](const Context& c) { return present_when(has_code(c, 4)); }, &kScheduledProtocolCode},
    {0x00400009, "SH", "ScheduledProcedureStepID", Length::keep_and_say,
     [](const Context& c) -> std::optional<Sourced> { return step_id(c.source); }},
    {0x00400020, "CS", "ScheduledProcedureStepStatus", Length::fits,
     [](const Context& c) -> std::optional<Sourced> {
       const bool in_progress = at(c.source.group.orc, 5, 1, "ORC-5", c.separators).text == "IP";
       return Sourced{in_progress ? "STARTED" : "SCHEDULED", "ORC-5"}; }},
};

const std::vector<Row> kEntry = {
    {0x00080005, "CS", "SpecificCharacterSet", Length::fits,
     [](const Context& c) -> std::optional<Sourced> {
       const std::string& term = c.source.character_set;
       return term.empty() ? std::nullopt : std::optional<Sourced>(Sourced{term, "MSH-18"}); }},
    {0x00080050, "SH", "AccessionNumber", Length::keep_and_say,
     [](const Context& c) -> std::optional<Sourced> { return accession_number(c.source); }},
    {0x00080090, "PN", "ReferringPhysicianName", Length::fits,
     [](const Context& c) -> std::optional<Sourced> { return person(c.source.pv1, 8, NameType::xcn, "PV1-8", c.separators, c.encoding); }},
    {0x00100010, "PN", "PatientName", Length::fits,
     [](const Context& c) -> std::optional<Sourced> { return person(c.source.pid, 5, NameType::xpn, "PID-5", c.separators, c.encoding); }},
    {0x00100020, "LO", "PatientID", Length::keep_and_say,
     [](const Context& c) -> std::optional<Sourced> { return id_at(c.source.pid, 3, 1, "PID-3", c.separators); }},
    {0x00100021, "LO", "IssuerOfPatientID", Length::cut_and_say,
     [](const Context& c) -> std::optional<Sourced> { return at(c.source.pid, 3, 4, "PID-3.4", c.separators); }},
    {0x00100030, "DA", "PatientBirthDate", Length::fits,
     [](const Context& c) -> std::optional<Sourced> {
       Sourced date = at(c.source.pid, 7, 1, "PID-7", c.separators);
       date.text = starts_with_date(date.text) ? date.text.substr(0, 8) : "";
       return date; }},
    {0x00100040, "CS", "PatientSex", Length::fits,
     [](const Context& c) -> std::optional<Sourced> {
       Sourced sex = at(c.source.pid, 8, 1, "PID-8", c.separators);
       if (sex.text != "M" && sex.text != "F" && sex.text != "O") sex.text.clear();
       return sex; }},
    {0x0020000D, "UI", "StudyInstanceUID", Length::fits, study_instance_uid},
    {0x00321060, "LO", "RequestedProcedureDescription", Length::cut,
     [](const Context& c) -> std::optional<Sourced> {
       const Fields* obr = c.source.procedure.obr;
       return first_set({at(obr, 4, 2, "OBR-4.2", c.separators), at(obr, 4, 1, "OBR-4.1", c.separators)}); }},
    {0x00321064, "SQ", "RequestedProcedureCodeSequence", Length::fits,
     [](const Context& c) { return present_when(has_code(c, 1)); }, &kRequestedProcedureCode},
    {0x00321032, "PN", "RequestingPhysician", Length::fits,
     [](const Context& c) -> std::optional<Sourced> { return person(c.source.procedure.obr, 16, NameType::xcn, "OBR-16", c.separators, c.encoding); }},
    {0x00380010, "LO", "AdmissionID", Length::keep_and_say,
     [](const Context& c) -> std::optional<Sourced> {
       return first_set({id_at(c.source.pv1, 19, 1, "PV1-19", c.separators), id_at(c.source.pid, 18, 1, "PID-18", c.separators)}); }},
    {0x00380300, "LO", "CurrentPatientLocation", Length::cut_and_say, location},
    {0x00401001, "SH", "RequestedProcedureID", Length::keep_and_say,
     [](const Context& c) -> std::optional<Sourced> { return requested_procedure_id(c.source); }},
    {0x00401003, "SH", "RequestedProcedurePriority", Length::fits, priority},
    {0x00402016, "LO", "PlacerOrderNumberImagingServiceRequest", Length::keep_and_say,
     [](const Context& c) -> std::optional<Sourced> { return placer_number(c.source); }},
    {0x00402017, "LO", "FillerOrderNumberImagingServiceRequest", Length::keep_and_say,
     [](const Context& c) -> std::optional<Sourced> { return filler_number(c.source); }},
    {0x00400100, "SQ", "ScheduledProcedureStepSequence", Length::fits,
     [](const Context&) { return present_when(true); }, &kScheduledProcedureStep},
};
// clang-format on

// The segment and field a source such as "OBR-4.1" names, for the acknowledgement's ERR.
Rejection naming(std::string_view source, int code, std::string text) {
  Rejection rejection{code, std::move(text), "", 0};
  const std::size_t dash = source.find('-');
  if (dash == source.npos) return rejection;
  rejection.segment = std::string(source.substr(0, dash));
  for (std::size_t i = dash + 1; i < source.size() && source[i] >= '0' && source[i] <= '9'; ++i) {
    rejection.field = rejection.field * 10 + (source[i] - '0');
  }
  return rejection;
}

// Identifiers are never cut or changed, since a changed one names another order or patient:
// one that DICOM cannot carry as it is refuses the message.
std::optional<Rejection> identifier_problem(const Sourced& value, Encoding encoding) {
  if (!fits_identifier(value.text)) {
    return naming(value.source, kDataTypeError,
                  std::string(value.source) +
                      " holds a control character or \"\\\", which an identifier cannot carry");
  }
  if (character_count(value.text, encoding) > kLongestIdentifier) {
    return naming(value.source, kDataTypeError,
                  std::string(value.source) + " is longer than " +
                      std::to_string(kLongestIdentifier) + " characters");
  }
  return std::nullopt;
}

// Fills `data_set` from `rows`; notes what the outcome line says of long values.
std::optional<Rejection> fill(const std::vector<Row>& rows, const Context& c, DataSet& data_set,
                              std::vector<std::string>& notes) {
  for (const Row& row : rows) {
    std::optional<Sourced> value = row.value(c);
    if (!value) continue;
    Element& element = data_set.emplace_back();
    element.tag = row.tag;
    element.vr = row.vr;
    element.keyword = row.keyword;
    if (row.item) {
      if (auto rejection = fill(*row.item, c, element.items.emplace_back(), notes))
        return rejection;
      continue;
    }
    if (row.length == Length::keep_and_say) {
      if (auto rejection = identifier_problem(*value, c.encoding)) return rejection;
    }
    const std::size_t limit = longest_value(row.vr);
    if (value->text.size() > limit && row.length != Length::fits) {
      if (row.length != Length::keep_and_say) {
        value->text = cut_to(value->text, limit, c.encoding);
      }
      if (row.length != Length::cut) {
        notes.push_back(std::string(value->source) + " is longer than " + std::to_string(limit) +
                        " characters (" +
                        (row.length == Length::keep_and_say ? "kept whole" : "cut") + ")");
      }
    }
    element.value = std::move(value->text);
  }
  return std::nullopt;
}

}  // namespace

std::string filler_order_number(const Message& message, const OrderGroup& group) {
  const Fields* obr = group.procedures.empty() ? nullptr : group.procedures.front().obr;
  return filler_number(group.orc, obr, message.separators).text;
}

std::string placer_order_number(const Message& message, const OrderGroup& group) {
  const Fields* obr = group.procedures.empty() ? nullptr : group.procedures.front().obr;
  return placer_number(group.orc, obr, message.separators).text;
}

MappingOptions mapping_options(const StationAets& stations, std::size_t max_entries,
                               std::time_t now) {
  std::tm local{};
  std::tm utc{};
  calendar_fields(now, local, utc);
  const std::string digits = date_time_digits(local);
  return {stations, digits.substr(0, 8), digits.substr(8, 6), max_entries};
}

Identity identity_of(const EntrySource& source) {
  return {order_number(source).text, requested_procedure_id(source).text, step_id(source).text, 0};
}

std::optional<Rejection> check_entry(const EntrySource& s) {
  const Separators& p = separators_of(s);
  if (at(s.pid, 3, 1, "PID-3", p).text.empty()) {
    return Rejection{kRequiredFieldMissing, "PID-3 is empty", "PID", 3};
  }
  if (person(s.pid, 5, NameType::xpn, "PID-5", p, encoding_of(s.character_set)).text.empty()) {
    return Rejection{kRequiredFieldMissing, "PID-5 is empty", "PID", 5};
  }
  if (at(s.procedure.obr, 4, 1, "", p).text.empty() &&
      at(s.procedure.obr, 4, 2, "", p).text.empty()) {
    return Rejection{kRequiredFieldMissing, "OBR-4 is empty", "OBR", 4};
  }
  if (order_number(s).text.empty() && accession_number(s).text.empty()) {
    return Rejection{kRequiredFieldMissing, "no order number and no accession number", "ORC", 3};
  }
  return std::nullopt;
}

std::optional<Rejection> map_entry(const EntrySource& source, const Identity& identity,
                                   Entry& entry) {
  const Context context{source, identity, separators_of(source), scheduled_start(source),
                        encoding_of(source.character_set)};
  entry.identity = identity;
  entry.placer_order_number = placer_number(source).text;
  entry.filler_order_number = filler_number(source).text;
  entry.dated_by_clock = context.start.from_clock;
  if (entry.dated_by_clock) {
    entry.notes.push_back(
        "no start date in TQ1-7, OBR-27.4, ORC-7.4 or MSH-7: scheduled at the time of the run");
  }
  return fill(kEntry, context, entry.data_set, entry.notes);
}
