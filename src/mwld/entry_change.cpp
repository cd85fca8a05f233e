// Reading an entry back, changing its values, and writing it again under its own UID.
#include "mwld/entry_change.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace {

constexpr std::uint32_t kSpecificCharacterSet = 0x00080005;
constexpr std::uint32_t kStepSequence = 0x00400100;
constexpr std::uint32_t kStepStatus = 0x00400020;
constexpr std::string_view kLatin1 = "ISO_IR 100";
constexpr std::string_view kUtf8 = "ISO_IR 192";

bool is_text_vr(std::string_view vr) {
  return vr == "PN" || vr == "LO" || vr == "SH" || vr == "ST" || vr == "LT" || vr == "UT";
}

bool is_ascii(const DataSet& data_set) {
  for (const Element& element : data_set) {
    for (const char c : element.value) {
      if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
  }
  return true;
}

// An element read in Implicit VR comes as UN with its padding: the table's VR, no padding.
void restore_vrs(DataSet& data_set) {
  for (Element& element : data_set) {
    for (DataSet& item : element.items) restore_vrs(item);
    if (element.vr != "UN") continue;
    const std::optional<std::string_view> vr = table_vr(element.tag);
    if (!vr || *vr == "US" || *vr == "SQ") continue;
    element.vr = *vr;
    const char padding = *vr == "UI" ? '\0' : ' ';
    while (!element.value.empty() && element.value.back() == padding) element.value.pop_back();
  }
}

void convert_to_utf8(DataSet& data_set) {
  for (Element& element : data_set) {
    for (DataSet& item : element.items) convert_to_utf8(item);
    if (is_text_vr(element.vr)) element.value = utf8_of(element.value);
  }
}

std::string value_of(const DataSet& data_set, std::uint32_t tag) {
  const Element* element = find_element(data_set, tag);
  return element ? element->value : std::string();
}

// Sets each of `values` in `data_set`; true when one was not already so.
bool set_values(DataSet& data_set, const DataSet& values) {
  bool changed = false;
  for (const Element& value : values) {
    const auto found = std::find_if(data_set.begin(), data_set.end(),
                                    [&value](const Element& e) { return e.tag == value.tag; });
    if (found == data_set.end()) {
      data_set.push_back(value);
      changed = true;
    } else if (found->value != value.value || !found->items.empty()) {
      *found = value;
      changed = true;
    }
  }
  return changed;
}

// Brings the entry and `values` to one character set; false when they cannot share one.
bool share_character_set(DataSet& entry, DataSet& values, const std::string& values_set) {
  const std::string entry_set = value_of(entry, kSpecificCharacterSet);
  if (entry_set == values_set || is_ascii(values)) return true;
  if (entry_set.empty() && is_ascii(entry)) {
    set_values(entry, {{kSpecificCharacterSet, "CS", "SpecificCharacterSet", values_set, {}}});
    return true;
  }
  const bool known = (entry_set.empty() || entry_set == kLatin1 || entry_set == kUtf8) &&
                     (values_set.empty() || values_set == kLatin1 || values_set == kUtf8);
  if (!known) return false;
  if (entry_set != kUtf8) convert_to_utf8(entry);
  if (values_set != kUtf8) convert_to_utf8(values);
  set_values(entry,
             {{kSpecificCharacterSet, "CS", "SpecificCharacterSet", std::string(kUtf8), {}}});
  return true;
}

struct ReadEntry {
  std::optional<DataSet> data_set;
  std::string uid;
};

ReadEntry read_back(std::string_view bytes) {
  ReadEntry entry;
  entry.data_set = decode_file(bytes, &entry.uid);
  if (entry.data_set) restore_vrs(*entry.data_set);
  return entry;
}

}  // namespace

ChangedEntry updated_entry(std::string_view bytes, const PatientStep& step, bool same_visit) {
  ReadEntry entry = read_back(bytes);
  if (!entry.data_set) return {std::nullopt, "not a DICOM file in Little Endian"};
  DataSet values = step.updates.patient;
  if (same_visit) values.insert(values.end(), step.updates.visit.begin(), step.updates.visit.end());
  const std::string before = value_of(*entry.data_set, kSpecificCharacterSet);
  if (!share_character_set(*entry.data_set, values, step.character_set)) {
    return {std::nullopt, "its character set " + before + " cannot take the message's text"};
  }
  const bool changed = set_values(*entry.data_set, values);
  if (!changed && before == value_of(*entry.data_set, kSpecificCharacterSet)) return {};
  return {encode_file(*entry.data_set, entry.uid), ""};
}

ChangedEntry started_entry(std::string_view bytes) {
  ReadEntry entry = read_back(bytes);
  if (!entry.data_set) return {std::nullopt, "not a DICOM file in Little Endian"};
  const auto steps = std::find_if(entry.data_set->begin(), entry.data_set->end(),
                                  [](const Element& e) { return e.tag == kStepSequence; });
  if (steps == entry.data_set->end() || steps->items.empty()) {
    return {std::nullopt, "it has no Scheduled Procedure Step"};
  }
  if (!set_values(steps->items.front(),
                  {{kStepStatus, "CS", "ScheduledProcedureStepStatus", "STARTED", {}}})) {
    return {};
  }
  return {encode_file(*entry.data_set, entry.uid), ""};
}
