// The ADT events hl7mwld acts on, and the patient steps of one message.
#include "mwld/adt.h"

#include <string_view>
#include <utility>

namespace {

struct EventRow {
  std::string_view event;
  PatientAction action;
};

// IHE Radiology's Patient Registration and Patient Update events; merges name the record merged
// away in MRG.
// clang-format off
constexpr EventRow kEvents[] = {
    {"A01", PatientAction::update}, {"A02", PatientAction::update}, {"A03", PatientAction::update},
    {"A04", PatientAction::update}, {"A05", PatientAction::update}, {"A06", PatientAction::update},
    {"A07", PatientAction::update}, {"A08", PatientAction::update}, {"A11", PatientAction::update},
    {"A12", PatientAction::update}, {"A13", PatientAction::update}, {"A31", PatientAction::update},
    {"A40", PatientAction::merge},  {"A34", PatientAction::merge},  {"A18", PatientAction::merge},
    {"A30", PatientAction::merge},  {"A36", PatientAction::merge},  {"A39", PatientAction::merge},
    {"A47", PatientAction::change_identifier},
};
// clang-format on

const EventRow* event_row(std::string_view event) {
  for (const EventRow& row : kEvents) {
    if (row.event == event) return &row;
  }
  return nullptr;
}

bool is_segment(const Fields& segment, std::string_view id) {
  return !segment.empty() && segment[0] == id;
}

// The event: MSH-9.2, else EVN-1 (versions before 2.3 name it there only).
std::string event_of(const Message& message) {
  std::string event =
      text_value(part_of(field(message.segments.front(), 9), 2, message.separators));
  if (event.empty()) event = field_text(find_segment(message, "EVN"), 1, 1, message.separators);
  return event;
}

PatientKey in_utf8(PatientKey key, Encoding encoding) {
  return {in_utf8(std::move(key.id), encoding), in_utf8(std::move(key.issuer), encoding)};
}

// Keeps of `data_set` only the elements with the tags given.
void keep_only(DataSet& data_set, std::initializer_list<std::uint32_t> tags) {
  DataSet kept;
  for (Element& element : data_set) {
    for (const std::uint32_t tag : tags) {
      if (element.tag == tag) kept.push_back(std::move(element));
    }
  }
  data_set = std::move(kept);
}

constexpr std::uint32_t kPatientId = 0x00100020;
constexpr std::uint32_t kIssuerOfPatientId = 0x00100021;
constexpr std::uint32_t kAdmissionId = 0x00380010;

}  // namespace

bool is_patient_message_type(const std::string& message_type) {
  return message_type == "ADT" || message_type.starts_with("ADT^");
}

void plan_patient_message(const Message& message, const MappingOptions& options,
                          const CharacterSet& character_set, MessagePlan& plan) {
  const std::string event = event_of(message);
  const EventRow* row = event_row(event);
  if (!row) {
    plan.reason =
        "ADT event " + (event.empty() ? std::string("(none)") : event) + " changes no entry";
    return;
  }
  EntrySegments segments = message_segments(message);
  if (!segments.pid) {
    plan.rejection = Rejection{kSegmentSequenceError, "no PID segment", "PID", 0};
    return;
  }
  // An update names its patient in its PID; each MRG of a merge the record merged into the
  // patient of the PID before it.
  std::vector<EntrySegments> steps;
  if (row->action == PatientAction::update) {
    steps.push_back(segments);
  } else {
    for (const Fields& segment : message.segments) {
      if (is_segment(segment, "PID")) segments.pid = &segment;
      if (is_segment(segment, "PV1")) segments.pv1 = &segment;
      if (is_segment(segment, "MRG")) {
        segments.mrg = &segment;
        steps.push_back(segments);
      }
    }
    if (steps.empty()) {
      plan.rejection = Rejection{kSegmentSequenceError, "no MRG segment", "MRG", 0};
      return;
    }
  }
  for (const EntrySegments& step_segments : steps) {
    const EntrySource source{step_segments, options, character_set};
    PatientStep step;
    step.action = row->action;
    step.character_set = character_set.to_utf8 ? "ISO_IR 192" : character_set.term;
    const PatientKey patient = in_utf8(patient_of(source), character_set.encoding);
    if (patient.id.empty()) {
      plan.rejection =
          Rejection{kRequiredFieldMissing, "no Patient ID in PID-3 or PID-2", "PID", 3};
      return;
    }
    step.patient = patient;
    if (row->action != PatientAction::update) {
      step.patient = in_utf8(prior_patient_of(source), character_set.encoding);
      if (step.patient.id.empty()) {
        plan.rejection = Rejection{kRequiredFieldMissing,
                                   "no prior patient identifier in MRG-1 or MRG-4", "MRG", 1};
        return;
      }
    }
    plan.rejection = map_attribute_updates(source, step.updates);
    if (plan.rejection) return;
    if (const Element* visit = find_element(step.updates.visit, kAdmissionId)) {
      step.visit =
          character_set.to_utf8 ? visit->value : in_utf8(visit->value, character_set.encoding);
    }
    // A merge brings the surviving patient's identity and attributes, not a visit; a new
    // identifier only the identifier. The issuer belongs to the identifier: one without
    // issuer leaves none.
    if (row->action != PatientAction::update) {
      step.updates.visit.clear();
      if (!find_element(step.updates.patient, kIssuerOfPatientId)) {
        step.updates.patient.push_back({kIssuerOfPatientId, "LO", "IssuerOfPatientID", "", {}});
      }
    }
    if (row->action == PatientAction::change_identifier) {
      keep_only(step.updates.patient, {kPatientId, kIssuerOfPatientId});
    }
    plan.patient_steps.push_back(std::move(step));
  }
}
