// What every plan must hold, whatever the bytes it came from: a refused message plans nothing,
// and every entry file has a safe name, reads back, and holds exactly the planned values, none
// of them with a character DICOM reserves. Traps on the first violation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "mwld/dicom.h"
#include "mwld/entry_change.h"
#include "mwld/plan.h"

namespace plan_check {

inline bool allowed_in_name(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' ||
         (c >= 'a' && c <= 'z');
}

// Allergies (0010,2110) holds one value per AL1, separated by "\\"; every other element one.
constexpr std::uint32_t kAllergies = 0x00102110;

inline bool allowed_in_one_value(std::string_view value, std::string_view vr) {
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '\\') return false;
    if (vr == "CS" && !((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ' ')) {
      return false;
    }
    if (vr == "PN" && c == '=') return false;
  }
  return value.empty() || (value.front() != ' ' && value.back() != ' ');
}

inline bool allowed_in_value(const Element& element) {
  std::string_view rest = element.value;
  while (element.tag == kAllergies && rest.find('\\') != rest.npos) {
    if (!allowed_in_one_value(rest.substr(0, rest.find('\\')), element.vr)) return false;
    rest.remove_prefix(rest.find('\\') + 1);
  }
  return allowed_in_one_value(rest, element.vr);
}

// The values read back equal the planned ones, element by element, in tag order.
inline bool same_values(const DataSet& planned, const DataSet& read) {
  if (planned.size() != read.size()) return false;
  for (const Element& element : planned) {
    const Element* found = find_element(read, element.tag);
    if (!found || found->vr != element.vr || found->value != element.value) return false;
    if (!allowed_in_value(element)) return false;
    if (found->items.size() != element.items.size()) return false;
    for (std::size_t i = 0; i < element.items.size(); ++i) {
      if (!same_values(element.items[i], found->items[i])) return false;
    }
  }
  return true;
}

}  // namespace plan_check

// Every value a patient step writes is one an entry may hold, and an entry updated with them reads
// back holding them.
inline void check_patient_step(const PatientStep& step) {
  if (step.patient.id.empty()) __builtin_trap();
  const DataSet entry = {{0x00100010, "PN", "PatientName", "BEFORE^NAME", {}},
                         {0x00100020, "LO", "PatientID", step.patient.id, {}}};
  const ChangedEntry changed = updated_entry(encode_file(entry, "1.2.3"), step, true);
  if (!changed.problem.empty()) return;  // a character set the entry cannot share
  const std::optional<DataSet> read = decode_file(changed.bytes.value_or(encode_file(entry, "1.2")));
  if (!read) __builtin_trap();
  for (const DataSet* values : {&step.updates.patient, &step.updates.visit}) {
    for (const Element& element : *values) {
      if (!plan_check::allowed_in_value(element)) __builtin_trap();
      const Element* found = find_element(*read, element.tag);
      if (!found || found->value.size() < element.value.size()) __builtin_trap();
    }
  }
}

inline void check_plan(const MessagePlan& plan) {
  if (plan.rejection && (!plan.steps.empty() || !plan.patient_steps.empty())) __builtin_trap();
  for (const PatientStep& step : plan.patient_steps) check_patient_step(step);
  for (const OrderStep& step : plan.steps) {
    for (const EntryFile& file : step.entries) {
      if (file.name.size() > 128 || !file.name.starts_with("hl7mwld-") ||
          !file.name.ends_with(".wl")) {
        __builtin_trap();
      }
      for (char c : file.name) {
        if (!plan_check::allowed_in_name(c)) __builtin_trap();
      }
      const std::optional<DataSet> read = decode_file(file.bytes);
      if (!read || !plan_check::same_values(file.entry.data_set, *read)) __builtin_trap();
    }
  }
}
