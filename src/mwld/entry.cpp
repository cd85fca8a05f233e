// The mapping table: one row per attribute of a worklist entry, in the order of the documented
// table, each with its sources in the table's notation and the rule that makes its value.
#include "mwld/entry.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string_view>

#include "mwld/sha256.h"
#include "platform.h"

namespace {

// A value, the source it came from (which the outcome line names), and what the line says of it.
struct Sourced {
  std::string text;
  std::string source;
  std::string note;
};

// What a row does with a value longer than its VR allows.
enum class Length {
  fits,          // the row's values always fit (dates, times, UIDs, fixed terms)
  cut,           // names and descriptions: cut
  cut_and_say,   // other values: cut, and the outcome line says so
  keep_and_say,  // identifiers and codes: written whole up to 64 characters, and the outcome
                 // line says so; longer ones, and ones holding a control character or "\",
                 // refuse the message, since a changed identifier names a different order
};

// The items of a sequence row.
enum class Items {
  none,         // not a sequence
  one,          // always one item
  one_if_code,  // one item when its code value and coding scheme are set; else absent
  zero,         // present and empty (a Type 2 sequence hl7mwld has nothing for)
};

struct Context;
using Sources = std::vector<Source>;
// Makes a row's value from its sources; nothing leaves the element out.
using Rule = std::optional<Sourced> (*)(const Context&, const Sources&);

struct Row {
  std::string_view path;  // the keyword; Sequence.Keyword for a row of a sequence's item
  std::uint32_t tag;
  std::string_view vr;
  Length length;
  std::vector<std::string_view> sources;  // first that is set; a profile may replace them
  Rule rule;
  std::string_view made_by = {};  // for a row without sources: what makes its value
  Items items = Items::none;
  const std::vector<Row>* item = nullptr;
  bool multiple = false;  // several values, separated by "\"
};

struct Context {
  const EntrySource& source;
  const Identity* identity;  // nullptr while the identity itself is being formed
};

// The longest identifier kept whole (the LO limit); a longer one is refused.
constexpr std::size_t kLongestIdentifier = 64;
// A Requested Procedure ID or SPS ID that hl7mwld makes must fit SH.
constexpr std::size_t kLongestShortIdentifier = 16;

std::size_t longest_value(std::string_view vr) {
  if (vr == "LO" || vr == "PN" || vr == "UI") return 64;
  if (vr == "DA") return 8;
  return 16;  // AE, CS, DS, SH, TM
}

const Separators& separators(const Context& c) { return c.source.segments.message->separators; }

// The segment a source names: the entry's own of that ID, else the message's first.
const Fields* segment_named(const EntrySegments& s, std::string_view id) {
  if (id == "MSH") return s.msh;
  if (id == "PID") return s.pid;
  if (id == "PV1") return s.pv1;
  if (id == "ORC") return s.orc;
  if (id == "TQ1") return s.tq1;
  if (id == "OBR") return s.obr;
  if (id == "ZDS") return s.zds;
  if (id == "IPC") return s.ipc;
  if (id == "MRG") return s.mrg;
  return find_segment(*s.message, id);
}

// Piece `number` (from 1) of `text` cut at `separator`; all of it for piece 1 when the
// separator is not declared.
std::string_view nth(std::string_view text, char separator, std::size_t number) {
  for (std::size_t i = 1; i < number; ++i) {
    const std::size_t end = separator == '\0' ? text.npos : text.find(separator);
    if (end == text.npos) return {};
    text.remove_prefix(end + 1);
  }
  const std::size_t end = separator == '\0' ? text.npos : text.find(separator);
  return text.substr(0, end);
}

std::string_view before(std::string_view text, char separator) {
  return separator == '\0' ? text : text.substr(0, text.find(separator));
}

// The repetition of `field` the source picks: the first, or the first of the identifier type
// (component 5) or assigning authority (component 4) it names.
std::string_view repetition_of(std::string_view field, const Source& source, const Separators& p) {
  if (source.pick == Source::Pick::first) return before(field, p.repetition);
  const std::size_t component = source.pick == Source::Pick::type ? 5 : 4;
  std::string_view rest = field;
  while (true) {
    const std::size_t end = p.repetition == '\0' ? rest.npos : rest.find(p.repetition);
    const std::string_view repetition = rest.substr(0, end);
    const std::string_view part = before(nth(repetition, p.component, component), p.subcomponent);
    if (text_value(decode_escapes(part, p)) == source.picked) return repetition;
    if (end == rest.npos) return {};
    rest.remove_prefix(end + 1);
  }
}

// What `source` names in `segment`, escapes in place: the repetition, its component or that
// component's subcomponent.
std::string_view raw_of(const Fields* segment, const Source& source, const Separators& p) {
  if (!segment) return {};
  const std::string_view repetition = repetition_of(field(*segment, source.field), source, p);
  if (source.component == 0) return repetition;
  const std::string_view component = nth(repetition, p.component, source.component);
  if (source.subcomponent == 0) return component;
  return nth(component, p.subcomponent, source.subcomponent);
}

// The single value a source gives: a field's first component, a component's first subcomponent.
std::string_view first_part(std::string_view raw, const Source& source, const Separators& p) {
  if (source.component == 0) return before(before(raw, p.component), p.subcomponent);
  if (source.subcomponent == 0) return before(raw, p.subcomponent);
  return raw;
}

std::string text_in(const Context& c, const Fields* segment, const Source& source) {
  const Separators& p = separators(c);
  return text_value(decode_escapes(first_part(raw_of(segment, source, p), source, p), p));
}

std::string text_of(const Context& c, const Source& source) {
  return text_in(c, segment_named(c.source.segments, source.segment), source);
}

std::string identifier_of(const Context& c, const Source& source) {
  const Separators& p = separators(c);
  const std::string_view raw = raw_of(segment_named(c.source.segments, source.segment), source, p);
  return std::string(trimmed(decode_escapes(first_part(raw, source, p), p)));
}

// The first source whose text is set, with its name; empty, naming the first source, when none.
Sourced first_set(const Context& c, const Sources& sources,
                  std::string (*read)(const Context&, const Source&)) {
  for (const Source& source : sources) {
    std::string text = read(c, source);
    if (!text.empty()) return {std::move(text), source_text(source), ""};
  }
  return {"", sources.empty() ? "" : source_text(sources.front()), ""};
}

Sourced first_text(const Context& c, const Sources& sources) {
  return first_set(c, sources, text_of);
}

Sourced first_identifier(const Context& c, const Sources& sources) {
  return first_set(c, sources, identifier_of);
}

const std::vector<Row>& table();

const Row* row_at(std::string_view path, const std::vector<Row>& rows = table()) {
  for (const Row& row : rows) {
    if (row.path == path) return &row;
    if (row.item) {
      if (const Row* found = row_at(path, *row.item)) return found;
    }
  }
  return nullptr;
}

// The table's own sources of every row, read once.
const std::map<std::string, Sources>& default_sources() {
  static const std::map<std::string, Sources> parsed = [] {
    std::map<std::string, Sources> all;
    auto add = [&all](const std::vector<Row>& rows, auto& self) -> void {
      for (const Row& row : rows) {
        Sources& sources = all[std::string(row.path)];
        for (std::string_view text : row.sources) {
          std::string ignored;
          sources.push_back(*parse_source(text, ignored));
        }
        if (row.item) self(*row.item, self);
      }
    };
    add(table(), add);
    return all;
  }();
  return parsed;
}

const Sources& sources_of(const Row& row, const MappingOptions& options) {
  const std::string path(row.path);
  if (auto it = options.sources.find(path); it != options.sources.end()) return it->second;
  return default_sources().at(path);
}

// The value of the row at `path`, as the entry holds it before any cut.
Sourced value_of(const Context& c, std::string_view path) {
  const Row& row = *row_at(path);
  std::optional<Sourced> value = row.rule(c, sources_of(row, c.source.options));
  return value ? *value : Sourced{};
}

// Rules: how a row's value is made from its sources.

std::optional<Sourced> text_rule(const Context& c, const Sources& sources) {
  return first_text(c, sources);
}

std::optional<Sourced> identifier_rule(const Context& c, const Sources& sources) {
  return first_identifier(c, sources);
}

std::optional<Sourced> empty_rule(const Context&, const Sources&) { return Sourced{}; }

std::optional<Sourced> character_set_rule(const Context& c, const Sources&) {
  const CharacterSet& set = c.source.character_set;
  if (set.to_utf8) return Sourced{"ISO_IR 192", "MSH-18", ""};
  if (set.term.empty()) return std::nullopt;
  return Sourced{set.term, "MSH-18", ""};
}

std::optional<Sourced> patient_id_rule(const Context& c, const Sources& sources) {
  Sourced id = first_identifier(c, sources);
  if (!id.text.empty() && !sources.empty() && id.source != source_text(sources.front())) {
    id.note = "Patient ID from " + id.source + " (" + source_text(sources.front()) + " is empty)";
  }
  return id;
}

// Component 4 of the identifier the Patient ID came from.
std::optional<Sourced> issuer_rule(const Context& c, const Sources&) {
  const Row& patient_id = *row_at("PatientID");
  for (Source source : sources_of(patient_id, c.source.options)) {
    if (identifier_of(c, source).empty()) continue;
    source.component = 4;
    source.subcomponent = 0;
    return Sourced{text_of(c, source), source_text(source), ""};
  }
  return Sourced{};
}

std::optional<Sourced> name_rule(const Context& c, const Sources& sources, NameType type) {
  const Separators& p = separators(c);
  for (const Source& source : sources) {
    const std::string_view raw =
        raw_of(segment_named(c.source.segments, source.segment), source, p);
    std::string name;
    if (source.component == 0) {
      name = person_name(raw, type, p);
    } else {
      // A name inside one component has its parts as subcomponents (OBR-34: id&family&given).
      Separators inner = p;
      inner.component = p.subcomponent;
      inner.subcomponent = '\0';
      inner.repetition = '\0';
      name = person_name(raw, NameType::xcn, inner);
    }
    if (!name.empty()) return Sourced{std::move(name), source_text(source), ""};
  }
  return Sourced{};
}

std::optional<Sourced> patient_name_rule(const Context& c, const Sources& sources) {
  return name_rule(c, sources, NameType::xpn);
}

std::optional<Sourced> physician_name_rule(const Context& c, const Sources& sources) {
  return name_rule(c, sources, NameType::xcn);
}

std::optional<Sourced> birth_date_rule(const Context& c, const Sources& sources) {
  Sourced date = first_text(c, sources);
  date.text = starts_with_date(date.text) ? date.text.substr(0, 8) : "";
  return date;
}

std::optional<Sourced> sex_rule(const Context& c, const Sources& sources) {
  Sourced sex = first_text(c, sources);
  if (sex.text != "M" && sex.text != "F" && sex.text != "O") sex.text.clear();
  return sex;
}

// When the message gives no start date, the entry is scheduled at the time of the run.
struct Start {
  std::string date;
  std::string time;
  bool from_clock = false;
};

Start scheduled_start(const Context& c, const Sources& sources) {
  const Separators& p = separators(c);
  for (const Source& source : sources) {
    const std::string_view text =
        first_part(raw_of(segment_named(c.source.segments, source.segment), source, p), source, p);
    if (starts_with_date(text)) return {std::string(text.substr(0, 8)), time_after_date(text)};
  }
  return {c.source.options.date, c.source.options.time, true};
}

std::optional<Sourced> start_date_rule(const Context& c, const Sources& sources) {
  return Sourced{scheduled_start(c, sources).date, "", ""};
}

std::optional<Sourced> start_time_rule(const Context& c, const Sources& sources) {
  return Sourced{scheduled_start(c, sources).time, "", ""};
}

std::optional<Sourced> study_uid_rule(const Context& c, const Sources& sources) {
  for (const Source& source : sources) {
    std::string uid = text_of(c, source);
    if (is_valid_uid(uid)) return Sourced{std::move(uid), source_text(source), ""};
  }
  if (!c.identity) return Sourced{};
  return Sourced{derived_uid(*c.identity, "study"), "", ""};
}

std::optional<Sourced> priority_rule(const Context& c, const Sources& sources) {
  const Sourced code = first_text(c, sources);
  struct Priority {
    std::string_view hl7;
    std::string_view dicom;
  };
  constexpr Priority kPriorities[] = {{"S", "STAT"}, {"A", "HIGH"},    {"P", "HIGH"},
                                      {"C", "HIGH"}, {"R", "ROUTINE"}, {"T", "MEDIUM"}};
  for (const Priority& row : kPriorities) {
    if (row.hl7 == code.text) return Sourced{std::string(row.dicom), code.source, ""};
  }
  return std::nullopt;
}

// A location's non-empty components joined by blanks.
std::optional<Sourced> location_rule(const Context& c, const Sources& sources) {
  const Separators& p = separators(c);
  for (const Source& source : sources) {
    const std::string_view raw =
        raw_of(segment_named(c.source.segments, source.segment), source, p);
    std::string joined;
    for (std::string_view component : components_of(raw, p)) {
      const std::string text = text_value(decode_escapes(component, p));
      if (text.empty()) continue;
      if (!joined.empty()) joined += ' ';
      joined += text;
    }
    if (!joined.empty()) return Sourced{std::move(joined), source_text(source), ""};
  }
  return Sourced{"", sources.empty() ? "" : source_text(sources.front()), ""};
}

// DICOM's defined terms of Modality (PS3.3 C.7.3.1.1.1).
constexpr std::string_view kDicomModalities[] = {
    "AR",       "ASMT",       "AU",         "BDUS",   "BI",    "BMD",      "CFM",
    "CR",       "CT",         "CTPROTOCOL", "DMS",    "DG",    "DOC",      "DX",
    "ECG",      "EEG",        "EMG",        "EOG",    "EPS",   "ES",       "FID",
    "GM",       "HC",         "HD",         "IO",     "IOL",   "IVOCT",    "IVUS",
    "KER",      "KO",         "LEN",        "LS",     "MG",    "MR",       "M3D",
    "NM",       "OAM",        "OCT",        "OP",     "OPM",   "OPT",      "OPTBSV",
    "OPTENF",   "OPV",        "OSS",        "OT",     "PA",    "PLAN",     "POS",
    "PR",       "PT",         "PX",         "REG",    "RESP",  "RF",       "RG",
    "RTDOSE",   "RTIMAGE",    "RTINTENT",   "RTPLAN", "RTRAD", "RTRECORD", "RTSEGANN",
    "RTSTRUCT", "RWV",        "SEG",        "SM",     "SMR",   "SR",       "SRF",
    "STAIN",    "TEXTUREMAP", "TG",         "US",     "VA",    "XA",       "XAPROTOCOL",
    "XC",
};

struct Translation {
  std::string_view sender;
  std::string_view dicom;
};

// Sender codes with one DICOM meaning: HL7 table 0074's diagnostic service sections and the
// names senders commonly use for them.
constexpr Translation kModalityTranslations[] = {
    {"MRI", "MR"}, {"NMR", "MR"}, {"NMS", "NM"}, {"RUS", "US"},   {"VUS", "US"},
    {"OUS", "US"}, {"CUS", "US"}, {"EC", "ECG"}, {"MAMMO", "MG"}, {"PET", "PT"},
};

struct Modality {
  std::string dicom;
  std::string sender;  // the code as sent
  std::string source;
  std::string note;
};

Modality modality_of(const Context& c) {
  const Sourced sent = first_text(
      c, sources_of(*row_at("ScheduledProcedureStepSequence.Modality"), c.source.options));
  Modality modality{code_string(sent.text), code_string(sent.text), sent.source, ""};
  if (modality.sender.empty()) {
    modality.dicom = "OT";
    return modality;
  }
  for (const auto& [sender, dicom] : c.source.options.modalities) {
    if (sender == modality.sender) {
      modality.dicom = dicom;
      return modality;
    }
  }
  if (std::find(std::begin(kDicomModalities), std::end(kDicomModalities), modality.sender) !=
      std::end(kDicomModalities)) {
    return modality;
  }
  for (const Translation& translation : kModalityTranslations) {
    if (translation.sender == modality.sender) {
      modality.dicom = translation.dicom;
      modality.note =
          sent.source + " " + modality.sender + " written as the DICOM modality " + modality.dicom;
      return modality;
    }
  }
  modality.note = sent.source + " " + modality.sender + " is not a DICOM modality";
  return modality;
}

std::optional<Sourced> modality_rule(const Context& c, const Sources&) {
  Modality modality = modality_of(c);
  return Sourced{std::move(modality.dicom), std::move(modality.source), std::move(modality.note)};
}

// The sender's AE title, else the one set for the entry's Modality (or, where none is, for the
// code the sender gave), else the one for all others.
std::optional<Sourced> station_rule(const Context& c, const Sources& sources) {
  Sourced title = first_text(c, sources);
  if (!title.text.empty()) return title;
  const Modality modality = modality_of(c);
  const StationAets& stations = c.source.options.stations;
  for (const std::string& wanted : {modality.dicom, modality.sender}) {
    for (const auto& [modality_name, ae_title] : stations.by_modality) {
      if (modality_name == wanted) return Sourced{ae_title, "--station-aet", ""};
    }
  }
  return Sourced{stations.other, "--station-aet", ""};
}

Sourced order_number(const Context& c) {
  Sourced number = value_of(c, "FillerOrderNumberImagingServiceRequest");
  return number.text.empty() ? value_of(c, "PlacerOrderNumberImagingServiceRequest") : number;
}

// The set ID of the entry's OBR when it is 2 or more; empty otherwise.
std::string set_id(const Context& c) {
  const std::string text = field_text(c.source.segments.obr, 1, 1, separators(c));
  int number = 0;
  const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (problem != std::errc() || end != text.data() + text.size() || number < 2) return {};
  return std::to_string(number);
}

// An ID that hl7mwld makes fits SH: kept when it does, else the start of its SHA-256.
Sourced fitted(Sourced id, std::string_view name, Encoding encoding) {
  if (character_count(id.text, encoding) <= kLongestShortIdentifier) return id;
  const std::string hashed = sha256_hex(id.text).substr(0, kLongestShortIdentifier);
  id.note = std::string(name) + " " + hashed + ": the SHA-256 of " + id.text + " (from " +
            id.source + ", longer than 16 characters)";
  id.text = hashed;
  return id;
}

std::optional<Sourced> requested_procedure_id_rule(const Context& c, const Sources& sources) {
  Sourced id = first_identifier(c, sources);
  if (!id.text.empty()) return id;
  id = value_of(c, "AccessionNumber");
  if (id.text.empty()) id = order_number(c);
  id.note.clear();
  const std::string suffix = set_id(c);
  if (!suffix.empty()) {
    id.text += "_" + suffix;
    id.source += " and OBR-1";
  }
  Sourced made = fitted(id, "Requested Procedure ID", c.source.character_set.encoding);
  if (made.note.empty() && !suffix.empty()) {
    made.note = "Requested Procedure ID " + made.text + " from " + made.source;
  }
  return made;
}

std::optional<Sourced> step_id_rule(const Context& c, const Sources& sources) {
  Sourced id = first_identifier(c, sources);
  if (!id.text.empty()) return id;
  id = value_of(c, "RequestedProcedureID");
  id.note.clear();
  return fitted(id, "SPS ID", c.source.character_set.encoding);
}

std::optional<Sourced> step_status_rule(const Context& c, const Sources& sources) {
  const Sourced status = first_text(c, sources);
  return Sourced{status.text == "IP" ? "STARTED" : "SCHEDULED", status.source, ""};
}

// One value for each AL1: the first of its sources that is set.
std::optional<Sourced> each_allergy_rule(const Context& c, const Sources& sources) {
  std::string values;
  std::size_t count = 0;
  for (const Fields* al1 : c.source.segments.al1) {
    for (const Source& source : sources) {
      const Fields* segment =
          source.segment == "AL1" ? al1 : segment_named(c.source.segments, source.segment);
      const std::string text = text_in(c, segment, source);
      if (text.empty()) continue;
      if (count++ > 0) values += '\\';
      values += text;
      break;
    }
  }
  return Sourced{std::move(values), "AL1-3", ""};
}

// A weight in kilograms as a DS value: at most 3 decimals, no trailing zeros.
std::string kilograms(double value) {
  std::string text = std::to_string(static_cast<long long>(value * 1000 + 0.5));
  while (text.size() < 4) text.insert(text.begin(), '0');
  text.insert(text.end() - 3, '.');
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  return text;
}

// OBX-5 of the first OBX whose OBX-3 is LOINC's body weight (29463-7, or 3141-9 measured),
// in kg by its OBX-6 unit (kg, g, lb).
std::optional<Sourced> weight_rule(const Context& c, const Sources&) {
  const Separators& p = separators(c);
  struct Unit {
    std::string_view name;
    double kilograms;
  };
  constexpr Unit kUnits[] = {
      {"kg", 1.0}, {"g", 0.001}, {"lb", 0.45359237}, {"[lb_av]", 0.45359237}};
  for (const Fields* obx : c.source.segments.obx) {
    const std::string code = field_text(obx, 3, 1, p);
    const std::string system = field_text(obx, 3, 3, p);
    if ((code != "29463-7" && code != "3141-9") || (!system.empty() && system != "LN")) continue;
    const std::string number = field_text(obx, 5, 1, p);
    const std::string unit = field_text(obx, 6, 1, p);
    double value = 0;
    const auto [end, problem] =
        std::from_chars(number.data(), number.data() + number.size(), value);
    const Unit* known = nullptr;
    for (const Unit& candidate : kUnits) {
      if (candidate.name == unit) known = &candidate;
    }
    if (problem != std::errc() || end != number.data() + number.size() || !known || value <= 0 ||
        value > 1e6) {
      return Sourced{"", "OBX-5",
                     "OBX-5 " + number + " " + unit + " is no weight in kg, g or lb (left empty)"};
    }
    return Sourced{kilograms(value * known->kilograms), "OBX-5", ""};
  }
  return Sourced{};
}

// clang-format off
const std::vector<Row> kRequestedProcedureCode = {
    {"RequestedProcedureCodeSequence.CodeValue", 0x00080100, "SH", Length::keep_and_say, {"OBR-4.1", "OBR-44.1"}, identifier_rule},
    {"RequestedProcedureCodeSequence.CodingSchemeDesignator", 0x00080102, "SH", Length::keep_and_say, {"OBR-4.3", "OBR-44.3"}, identifier_rule},
    {"RequestedProcedureCodeSequence.CodeMeaning", 0x00080104, "LO", Length::cut, {"OBR-4.2", "OBR-44.2"}, text_rule},
};

const std::vector<Row> kScheduledProtocolCode = {
    {"ScheduledProtocolCodeSequence.CodeValue", 0x00080100, "SH", Length::keep_and_say, {"IPC-6.1", "OBR-4.4"}, identifier_rule},
    {"ScheduledProtocolCodeSequence.CodingSchemeDesignator", 0x00080102, "SH", Length::keep_and_say, {"IPC-6.3", "OBR-4.6"}, identifier_rule},
    {"ScheduledProtocolCodeSequence.CodeMeaning", 0x00080104, "LO", Length::cut, {"IPC-6.2", "OBR-4.5"}, text_rule},
};

const std::vector<Row> kScheduledProcedureStep = {
    {"ScheduledProcedureStepSequence.ScheduledStationAETitle", 0x00400001, "AE", Length::cut_and_say, {"IPC-9"}, station_rule, "else --station-aet for the Modality"},
    {"ScheduledProcedureStepSequence.ScheduledProcedureStepStartDate", 0x00400002, "DA", Length::fits, {"TQ1-7", "OBR-27.4", "ORC-7.4", "MSH-7"}, start_date_rule, "the first valid date, else the time of the run"},
    {"ScheduledProcedureStepSequence.ScheduledProcedureStepStartTime", 0x00400003, "TM", Length::fits, {"TQ1-7", "OBR-27.4", "ORC-7.4", "MSH-7"}, start_time_rule, "after the first valid date, else the time of the run"},
    {"ScheduledProcedureStepSequence.Modality", 0x00080060, "CS", Length::cut_and_say, {"IPC-5", "OBR-24"}, modality_rule, "translated to DICOM; empty: OT"},
    {"ScheduledProcedureStepSequence.ScheduledPerformingPhysicianName", 0x00400006, "PN", Length::cut, {"OBR-34.1"}, physician_name_rule},
    {"ScheduledProcedureStepSequence.ScheduledProcedureStepDescription", 0x00400007, "LO", Length::cut, {"IPC-6.2", "OBR-4.5", "OBR-4.2", "OBR-4.1", "OBR-44.2", "OBR-44.1"}, text_rule},
    {"ScheduledProcedureStepSequence.ScheduledProtocolCodeSequence", 0x00400008, "SQ", Length::fits, {}, empty_rule, "one item when code and scheme are set", Items::one_if_code, &kScheduledProtocolCode},
    {"ScheduledProcedureStepSequence.ScheduledProcedureStepID", 0x00400009, "SH", Length::keep_and_say, {"IPC-4", "OBR-20"}, step_id_rule, "else the Requested Procedure ID"},
    {"ScheduledProcedureStepSequence.ScheduledStationName", 0x00400010, "SH", Length::cut_and_say, {"IPC-7"}, text_rule},
    {"ScheduledProcedureStepSequence.ScheduledProcedureStepLocation", 0x00400011, "SH", Length::cut_and_say, {"IPC-8"}, text_rule},
    {"ScheduledProcedureStepSequence.ScheduledProcedureStepStatus", 0x00400020, "CS", Length::fits, {"ORC-5"}, step_status_rule, "STARTED for IP, else SCHEDULED"},
};

const std::vector<Row> kEntry = {
    {"SpecificCharacterSet", 0x00080005, "CS", Length::fits, {}, character_set_rule, "from MSH-18, or the text when it is empty"},
    {"AccessionNumber", 0x00080050, "SH", Length::keep_and_say, {"IPC-1", "OBR-18"}, identifier_rule},
    {"ReferringPhysicianName", 0x00080090, "PN", Length::cut, {"PV1-8", "ORC-12"}, physician_name_rule},
    {"ReferencedStudySequence", 0x00081110, "SQ", Length::fits, {}, empty_rule, "empty", Items::zero},
    {"ReferencedPatientSequence", 0x00081120, "SQ", Length::fits, {}, empty_rule, "empty", Items::zero},
    {"PatientName", 0x00100010, "PN", Length::cut, {"PID-5"}, patient_name_rule},
    {"PatientID", 0x00100020, "LO", Length::keep_and_say, {"PID-3", "PID-2"}, patient_id_rule},
    {"IssuerOfPatientID", 0x00100021, "LO", Length::cut_and_say, {}, issuer_rule, "component 4 of the Patient ID's identifier"},
    {"PatientBirthDate", 0x00100030, "DA", Length::fits, {"PID-7"}, birth_date_rule},
    {"PatientSex", 0x00100040, "CS", Length::fits, {"PID-8"}, sex_rule},
    {"PatientWeight", 0x00101030, "DS", Length::fits, {}, weight_rule, "OBX-5 of LOINC 29463-7 or 3141-9 in kg"},
    {"MedicalAlerts", 0x00102000, "LO", Length::cut, {}, empty_rule, "empty"},
    {"Allergies", 0x00102110, "LO", Length::cut, {"AL1-3.2", "AL1-3.1"}, each_allergy_rule, "", Items::none, nullptr, true},
    {"PregnancyStatus", 0x001021C0, "US", Length::fits, {}, empty_rule, "empty"},
    {"StudyInstanceUID", 0x0020000D, "UI", Length::fits, {"IPC-3", "ZDS-1"}, study_uid_rule, "the first valid UID, else derived"},
    {"RequestedProcedureDescription", 0x00321060, "LO", Length::cut, {"OBR-4.2", "OBR-4.1", "OBR-44.2", "OBR-44.1"}, text_rule},
    {"RequestedProcedureCodeSequence", 0x00321064, "SQ", Length::fits, {}, empty_rule, "one item when code and scheme are set", Items::one_if_code, &kRequestedProcedureCode},
    {"RequestingPhysician", 0x00321032, "PN", Length::cut, {"OBR-16", "ORC-12"}, physician_name_rule},
    {"AdmissionID", 0x00380010, "LO", Length::keep_and_say, {"PV1-19", "PID-18"}, identifier_rule},
    {"SpecialNeeds", 0x00380050, "LO", Length::cut, {}, empty_rule, "empty"},
    {"CurrentPatientLocation", 0x00380300, "LO", Length::cut_and_say, {"PV1-3"}, location_rule},
    {"PatientState", 0x00380500, "LO", Length::cut, {}, empty_rule, "empty"},
    {"RequestedProcedureID", 0x00401001, "SH", Length::keep_and_say, {"IPC-2", "OBR-19"}, requested_procedure_id_rule, "else the Accession Number, else the order number"},
    {"ReasonForTheRequestedProcedure", 0x00401002, "LO", Length::cut, {"OBR-31.2", "OBR-31.1"}, text_rule},
    {"RequestedProcedurePriority", 0x00401003, "SH", Length::fits, {"TQ1-9", "ORC-7.6", "OBR-27.6"}, priority_rule, "S STAT; A, P, C HIGH; R ROUTINE; T MEDIUM"},
    {"PatientTransportArrangements", 0x00401004, "LO", Length::cut, {"OBR-30"}, text_rule},
    {"PlacerOrderNumberImagingServiceRequest", 0x00402016, "LO", Length::keep_and_say, {"ORC-2", "OBR-2"}, identifier_rule},
    {"FillerOrderNumberImagingServiceRequest", 0x00402017, "LO", Length::keep_and_say, {"ORC-3", "OBR-3"}, identifier_rule},
    {"ConfidentialityConstraintOnPatientDataDescription", 0x00403001, "LO", Length::cut, {}, empty_rule, "empty"},
    {"ScheduledProcedureStepSequence", 0x00400100, "SQ", Length::fits, {}, empty_rule, "one item", Items::one, &kScheduledProcedureStep},
};
// clang-format on

const std::vector<Row>& table() { return kEntry; }

// The segment and field a source such as "OBR-4.1" names, for the acknowledgement's ERR.
Rejection naming(std::string_view source, int code, std::string text) {
  Rejection rejection{code, std::move(text), "", 0};
  std::string ignored;
  if (const std::optional<Source> parsed = parse_source(source, ignored)) {
    rejection.segment = parsed->segment;
    rejection.field = static_cast<int>(parsed->field);
  }
  return rejection;
}

bool is_c1_control(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 0x80 && byte <= 0x9F;
}

// Identifiers are never cut or changed, since a changed one names another order or patient:
// one that DICOM cannot carry as it is refuses the message.
std::optional<Rejection> identifier_problem(const Sourced& value, const Row& row,
                                            const Context& c) {
  const CharacterSet& set = c.source.character_set;
  const bool c1 = set.encoding == Encoding::single_byte &&
                  std::any_of(value.text.begin(), value.text.end(), is_c1_control);
  if (!fits_identifier(value.text) || c1) {
    return naming(value.source, kDataTypeError,
                  value.source +
                      " holds a control character or \"\\\", which an identifier "
                      "cannot carry");
  }
  const std::size_t characters = character_count(value.text, set.encoding);
  if (characters > kLongestIdentifier) {
    return naming(
        value.source, kDataTypeError,
        value.source + " is longer than " + std::to_string(kLongestIdentifier) + " characters");
  }
  const std::size_t limit = longest_value(row.vr);
  if (c.source.options.refuse_long_identifiers && characters > limit) {
    return naming(value.source, kDataTypeError,
                  value.source + " is longer than " + std::to_string(limit) + " characters (" +
                      std::string(row.vr) + ")");
  }
  return std::nullopt;
}

// One value of a text row as the entry holds it: C1 controls of single-byte text as blanks,
// converted to UTF-8 when asked, cut to its VR's length in characters.
std::string finished(std::string text, const Row& row, const Context& c, bool& was_cut) {
  const CharacterSet& set = c.source.character_set;
  if (set.encoding == Encoding::single_byte) {
    std::replace_if(text.begin(), text.end(), is_c1_control, ' ');
    text = std::string(trimmed(text));
  }
  if (set.to_utf8) text = utf8_of(text);
  const Encoding encoding = set.to_utf8 ? Encoding::utf8 : set.encoding;
  const std::size_t limit = longest_value(row.vr);
  if (row.length == Length::fits || character_count(text, encoding) <= limit) return text;
  was_cut = true;
  text = cut_to(text, limit, encoding);
  // A cut name may end at a component boundary or in the blanks before one.
  if (row.vr == "PN") {
    while (!text.empty() && (text.back() == '^' || text.back() == ' ')) text.pop_back();
  }
  return text;
}

constexpr std::uint32_t kCodeValue = 0x00080100;
constexpr std::uint32_t kCodingSchemeDesignator = 0x00080102;

bool has_value(const DataSet& data_set, std::uint32_t tag) {
  const Element* element = find_element(data_set, tag);
  return element && !element->value.empty();
}

// Fills `data_set` from `rows`; notes what the outcome line says of the values.
std::optional<Rejection> fill(const std::vector<Row>& rows, const Context& c, DataSet& data_set,
                              std::vector<std::string>& notes) {
  for (const Row& row : rows) {
    std::optional<Sourced> value = row.rule(c, sources_of(row, c.source.options));
    if (!value) continue;
    if (!value->note.empty()) notes.push_back(value->note);
    Element element;
    element.tag = row.tag;
    element.vr = row.vr;
    element.keyword = row.path.substr(row.path.rfind('.') + 1);
    if (row.items == Items::zero) {
      data_set.push_back(std::move(element));
      continue;
    }
    if (row.item) {
      DataSet item;
      if (auto rejection = fill(*row.item, c, item, notes)) return rejection;
      if (row.items == Items::one_if_code &&
          (!has_value(item, kCodeValue) || !has_value(item, kCodingSchemeDesignator))) {
        continue;
      }
      element.items.push_back(std::move(item));
      data_set.push_back(std::move(element));
      continue;
    }
    if (row.length == Length::keep_and_say) {
      if (auto rejection = identifier_problem(*value, row, c)) return rejection;
      if (c.source.character_set.to_utf8) value->text = utf8_of(value->text);
      const Encoding encoding =
          c.source.character_set.to_utf8 ? Encoding::utf8 : c.source.character_set.encoding;
      if (character_count(value->text, encoding) > longest_value(row.vr)) {
        notes.push_back(value->source + " is longer than " + std::to_string(longest_value(row.vr)) +
                        " characters (kept whole)");
      }
      element.value = std::move(value->text);
    } else {
      bool was_cut = false;
      std::string text;
      std::string_view rest = value->text;
      // Each value of a multi-valued row is cut on its own.
      while (true) {
        const std::size_t end = row.multiple ? rest.find('\\') : rest.npos;
        text += finished(std::string(rest.substr(0, end)), row, c, was_cut);
        if (end == rest.npos) break;
        text += '\\';
        rest.remove_prefix(end + 1);
      }
      if (was_cut && row.length == Length::cut_and_say) {
        notes.push_back(value->source + " is longer than " + std::to_string(longest_value(row.vr)) +
                        " characters (cut)");
      }
      element.value = std::move(text);
    }
    data_set.push_back(std::move(element));
  }
  return std::nullopt;
}

// The rows an update message writes, in the table's order; the visit's change only in entries of
// the same visit.
struct UpdatedRow {
  std::string_view path;
  bool visit;
};

constexpr UpdatedRow kUpdatedRows[] = {
    {"ReferringPhysicianName", true},
    {"PatientName", false},
    {"PatientID", false},
    {"IssuerOfPatientID", false},
    {"PatientBirthDate", false},
    {"PatientSex", false},
    {"AdmissionID", true},
    {"CurrentPatientLocation", true},
};

bool is_patient_or_visit_field(const Source& source) {
  return source.segment == "PID" || source.segment == "PV1";
}

// The fields an update reads for `row`: its sources in PID and PV1; for the issuer, component 4
// of the Patient ID's.
Sources update_fields(const Row& row, const MappingOptions& options) {
  Sources fields;
  const bool issuer = row.path == "IssuerOfPatientID";
  for (Source source : sources_of(issuer ? *row_at("PatientID") : row, options)) {
    if (!is_patient_or_visit_field(source)) continue;
    if (issuer) {
      source.component = 4;
      source.subcomponent = 0;
    }
    fields.push_back(std::move(source));
  }
  return fields;
}

std::string mapping_rows_text(const std::vector<Row>& rows, const MappingOptions& options,
                              std::size_t indent) {
  std::string text;
  for (const Row& row : rows) {
    std::string sources;
    for (const Source& source : sources_of(row, options)) {
      sources += (sources.empty() ? "" : ", ") + source_text(source);
    }
    if (!row.made_by.empty()) sources += (sources.empty() ? "" : "; ") + std::string(row.made_by);
    text += std::string(indent, ' ') + std::string(row.path.substr(row.path.rfind('.') + 1)) + ' ' +
            tag_text(row.tag) + ' ' + (sources.empty() ? "-" : sources) + '\n';
    if (row.item) text += mapping_rows_text(*row.item, options, indent + 2);
  }
  return text;
}

void add_paths(const std::vector<Row>& rows, std::vector<std::string>& paths) {
  for (const Row& row : rows) {
    if (!row.sources.empty()) paths.emplace_back(row.path);
    if (row.item) add_paths(*row.item, paths);
  }
}

bool is_ascii(const Message& message) {
  for (const Fields& segment : message.segments) {
    for (const std::string& value : segment) {
      for (const char c : value) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
      }
    }
  }
  return true;
}

// True when every byte sequence of the message is well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool is_utf8(const Message& message) {
  for (const Fields& segment : message.segments) {
    for (const std::string& value : segment) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
      const std::size_t size = value.size();
      for (std::size_t i = 0; i < size;) {
        const unsigned char lead = bytes[i];
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead < 0x80) {
          ++i;
          continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
          length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
          length = 3;
          if (lead == 0xE0) low = 0xA0;
          if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
          length = 4;
          if (lead == 0xF0) low = 0x90;
          if (lead == 0xF4) high = 0x8F;
        } else {
          return false;
        }
        if (i + length > size || bytes[i + 1] < low || bytes[i + 1] > high) return false;
        for (std::size_t k = 2; k < length; ++k) {
          if (bytes[i + k] < 0x80 || bytes[i + k] > 0xBF) return false;
        }
        i += length;
      }
    }
  }
  return true;
}

}  // namespace

MappingOptions mapping_options(const StationAets& stations, std::size_t max_entries,
                               std::time_t now) {
  MappingOptions options;
  options.stations = stations;
  options.max_entries = max_entries;
  set_clock(options, now);
  return options;
}

void set_clock(MappingOptions& options, std::time_t now) {
  std::tm local{};
  std::tm utc{};
  calendar_fields(now, local, utc);
  const std::string digits = date_time_digits(local);
  options.date = digits.substr(0, 8);
  options.time = digits.substr(8, 6);
}

EntrySegments message_segments(const Message& message) {
  EntrySegments segments;
  segments.message = &message;
  segments.msh = message.readable ? &message.segments.front() : nullptr;
  segments.pid = find_segment(message, "PID");
  segments.pv1 = find_segment(message, "PV1");
  for (const Fields& segment : message.segments) {
    if (segment.empty()) continue;
    if (segment[0] == "AL1") segments.al1.push_back(&segment);
    if (segment[0] == "OBX") segments.obx.push_back(&segment);
  }
  return segments;
}

EntrySegments entry_segments(EntrySegments segments, const OrderGroup& group,
                             const Procedure* procedure, const Fields* ipc) {
  segments.orc = group.orc;
  segments.tq1 = group.tq1;
  if (procedure) {
    segments.obr = procedure->obr;
    segments.zds = procedure->zds;
  }
  segments.ipc = ipc;
  return segments;
}

std::optional<CharacterSet> character_set_of(const Message& message, bool utf8) {
  CharacterSet set;
  const std::string& declared = field(message.segments.front(), 18);
  if (!trimmed(declared).empty()) {
    if (!dicom_character_set(declared, set.term)) return std::nullopt;
  } else if (is_ascii(message)) {
    set.term.clear();
  } else if (is_utf8(message)) {
    set.term = "ISO_IR 192";
    set.note = "no MSH-18: the text is UTF-8 (ISO_IR 192 assumed)";
  } else {
    set.term = "ISO_IR 100";
    set.note = "no MSH-18: the text is not UTF-8 (ISO_IR 100 assumed)";
  }
  set.encoding = encoding_of(set.term);
  set.to_utf8 = utf8 && set.encoding == Encoding::single_byte;
  return set;
}

std::string filler_order_number(const EntrySource& source) {
  return value_of({source, nullptr}, "FillerOrderNumberImagingServiceRequest").text;
}

std::string placer_order_number(const EntrySource& source) {
  return value_of({source, nullptr}, "PlacerOrderNumberImagingServiceRequest").text;
}

Identity identity_of(const EntrySource& source) {
  const Context c{source, nullptr};
  return {order_number(c).text, value_of(c, "RequestedProcedureID").text,
          value_of(c, "ScheduledProcedureStepSequence.ScheduledProcedureStepID").text, 0};
}

Identity former_identity_of(const EntrySource& source) {
  const Context c{source, nullptr};
  const Sourced order = order_number(c);
  auto first_set = [](std::initializer_list<std::string> values) {
    for (const std::string& value : values) {
      if (!value.empty()) return value;
    }
    return std::string();
  };
  const Row& rp_row = *row_at("RequestedProcedureID");
  const Row& sps_row = *row_at("ScheduledProcedureStepSequence.ScheduledProcedureStepID");
  const std::string rp = first_set({first_identifier(c, sources_of(rp_row, source.options)).text,
                                    value_of(c, "AccessionNumber").text, order.text});
  const std::string sps =
      first_set({first_identifier(c, sources_of(sps_row, source.options)).text, rp});
  return {order.text, rp, sps, 0};
}

std::optional<Rejection> check_entry(const EntrySource& s) {
  const Context c{s, nullptr};
  auto missing = [&s](std::string_view path, std::string_view attribute) {
    const Sources& sources = sources_of(*row_at(path), s.options);
    std::string names;
    for (std::size_t i = 0; i < sources.size(); ++i) {
      if (i > 0) names += i + 1 == sources.size() ? " or " : ", ";
      names += source_text(sources[i]);
    }
    return naming(sources.empty() ? "" : source_text(sources.front()), kRequiredFieldMissing,
                  "no " + std::string(attribute) + " in " + names);
  };
  if (value_of(c, "PatientID").text.empty()) return missing("PatientID", "Patient ID");
  if (value_of(c, "PatientName").text.empty()) return missing("PatientName", "Patient's Name");
  const Separators& p = separators(c);
  bool has_procedure = false;
  for (std::size_t component : {1, 2, 4, 5}) {
    if (!field_text(s.segments.obr, 4, component, p).empty()) has_procedure = true;
  }
  for (const Fields* segment : {s.segments.obr, s.segments.ipc}) {
    const std::size_t number = segment == s.segments.obr ? 44 : 6;
    for (std::size_t component : {1, 2}) {
      if (!field_text(segment, number, component, p).empty()) has_procedure = true;
    }
  }
  if (!has_procedure) {
    return Rejection{kRequiredFieldMissing, "no procedure in OBR-4, OBR-44 or IPC-6", "OBR", 4};
  }
  if (order_number(c).text.empty() && value_of(c, "AccessionNumber").text.empty()) {
    return Rejection{kRequiredFieldMissing, "no order number and no accession number", "ORC", 3};
  }
  return std::nullopt;
}

std::optional<Rejection> map_entry(const EntrySource& source, const Identity& identity,
                                   Entry& entry) {
  const Context context{source, &identity};
  entry.identity = identity;
  entry.placer_order_number = placer_order_number(source);
  entry.filler_order_number = filler_order_number(source);
  const Row& start_row = *row_at("ScheduledProcedureStepSequence.ScheduledProcedureStepStartDate");
  entry.dated_by_clock = scheduled_start(context, sources_of(start_row, source.options)).from_clock;
  if (!source.character_set.note.empty()) entry.notes.push_back(source.character_set.note);
  if (entry.dated_by_clock) {
    entry.notes.push_back(
        "no start date in TQ1-7, OBR-27.4, ORC-7.4 or MSH-7: scheduled at the time of the run");
  }
  return fill(kEntry, context, entry.data_set, entry.notes);
}

std::string mapping_text(const MappingOptions& options) {
  return mapping_rows_text(kEntry, options, 0);
}

std::vector<std::string> source_rows() {
  std::vector<std::string> paths;
  add_paths(kEntry, paths);
  return paths;
}

PatientKey patient_of(const EntrySource& source) {
  const Context c{source, nullptr};
  return {value_of(c, "PatientID").text, value_of(c, "IssuerOfPatientID").text};
}

PatientKey prior_patient_of(const EntrySource& source) {
  MappingOptions options = source.options;
  Sources prior;
  for (Source field : sources_of(*row_at("PatientID"), source.options)) {
    if (field.segment != "PID" || (field.field != 2 && field.field != 3)) continue;
    field.field = field.field == 3 ? 1 : 4;
    field.segment = "MRG";
    prior.push_back(std::move(field));
  }
  prior.push_back({"MRG", 4, 0, 0, Source::Pick::first, ""});
  options.sources["PatientID"] = std::move(prior);
  return patient_of({source.segments, options, source.character_set});
}

std::optional<Rejection> map_attribute_updates(const EntrySource& source,
                                               AttributeUpdates& updates) {
  MappingOptions options = source.options;
  for (const UpdatedRow& updated : kUpdatedRows) {
    options.sources[std::string(updated.path)] =
        update_fields(*row_at(updated.path), source.options);
  }
  const EntrySource read{source.segments, options, source.character_set};
  const Context c{read, nullptr};
  const Separators& p = separators(c);
  for (const UpdatedRow& updated : kUpdatedRows) {
    const Row& row = *row_at(updated.path);
    std::string_view sent;
    for (const Source& field : options.sources.at(std::string(updated.path))) {
      sent = first_part(raw_of(segment_named(read.segments, field.segment), field, p), field, p);
      if (!sent.empty()) break;
    }
    if (sent.empty()) continue;
    DataSet& data_set = updated.visit ? updates.visit : updates.patient;
    if (sent == "\"\"") {
      data_set.push_back({row.tag, row.vr, row.path, "", {}});
      continue;
    }
    if (auto rejection = fill({row}, c, data_set, updates.notes)) return rejection;
  }
  return std::nullopt;
}

std::optional<std::string_view> table_vr(std::uint32_t tag) {
  auto find = [tag](const std::vector<Row>& rows, auto& self) -> std::optional<std::string_view> {
    for (const Row& row : rows) {
      if (row.tag == tag) return row.vr;
      if (row.item) {
        if (auto vr = self(*row.item, self)) return vr;
      }
    }
    return std::nullopt;
  };
  return find(kEntry, find);
}
