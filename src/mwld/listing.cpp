// Reading entry files into summaries, and the lines and filters of `list`.
#include "mwld/listing.h"

#include <cstdint>
#include <utility>

#include "mwld/dicom.h"
#include "mwld/report.h"
#include "mwld/values.h"
#include "mwld/worklist_index.h"

namespace {

constexpr std::uint32_t kStepSequence = 0x00400100;

// The value of element `tag` of `data_set`, empty when it is absent. Trailing blanks are
// padding in every VR read here, which an entry rewritten in Implicit VR does not name.
std::string value_of(const DataSet& data_set, std::uint32_t tag) {
  const Element* element = find_element(data_set, tag);
  if (!element) return {};
  const std::size_t end = element->value.find_last_not_of(' ');
  return element->value.substr(0, end == std::string::npos ? 0 : end + 1);
}

// The number the decimal digits of `text` (checked already) make.
int number_of(std::string_view text) {
  int number = 0;
  for (const char c : text) number = number * 10 + (c - '0');
  return number;
}

// "HHMMSS" from an entry's time: empty (midnight) or HH[MM[SS[.F]]], the fraction of one to six
// digits dropped; empty for any other text.
std::string six_digit_time(std::string_view time) {
  if (time.empty()) return "000000";
  const std::size_t dot = time.find('.');
  const std::string_view whole = time.substr(0, dot);
  if (dot != time.npos) {
    const std::string_view fraction = time.substr(dot + 1);
    if (whole.size() != 6 || fraction.empty() || fraction.size() > 6 ||
        fraction.find_first_not_of("0123456789") != fraction.npos) {
      return {};
    }
  }
  if (whole.size() % 2 != 0 || whole.size() > 6) return {};
  // time_after_date takes the valid pairs after a date; all of them must be.
  const std::string digits = time_after_date("00010101" + std::string(whole));
  if (whole.empty() || digits.size() != whole.size()) return {};
  return digits + std::string(6 - digits.size(), '0');
}

bool is_date(std::string_view text) { return text.size() == 8 && starts_with_date(text); }

}  // namespace

EntrySummary summary_of(const std::string& name, std::string_view bytes) {
  EntrySummary entry;
  entry.name = name;
  const std::optional<DataSet> data_set = decode_file(bytes);
  if (!data_set) {
    entry.problem = "not a DICOM file in Little Endian";
    return entry;
  }
  const bool latin1 = value_of(*data_set, 0x00080005) == "ISO_IR 100";
  auto text = [latin1](std::string value) { return latin1 ? utf8_of(value) : value; };
  entry.patient_id = text(value_of(*data_set, 0x00100020));
  entry.issuer = text(value_of(*data_set, 0x00100021));
  entry.patient_name = text(value_of(*data_set, 0x00100010));
  entry.admission_id = text(value_of(*data_set, 0x00380010));
  entry.accession_number = text(value_of(*data_set, 0x00080050));
  entry.requested_procedure_id = text(value_of(*data_set, 0x00401001));
  entry.placer_order_number = text(value_of(*data_set, 0x00402016));
  entry.filler_order_number = text(value_of(*data_set, 0x00402017));
  const Element* steps = find_element(*data_set, kStepSequence);
  if (!steps || steps->items.empty()) return entry;
  const DataSet& step = steps->items.front();
  entry.step_id = text(value_of(step, 0x00400009));
  entry.modality = text(value_of(step, 0x00080060));
  entry.station_ae_title = text(value_of(step, 0x00400001));
  entry.start_date = text(value_of(step, 0x00400002));
  entry.start_time = text(value_of(step, 0x00400003));
  entry.status = text(value_of(step, 0x00400020));
  return entry;
}

bool scan_entries(const Folder& folder, std::vector<EntrySummary>& entries, std::string& error) {
  entries.clear();
  WorklistIndex index;
  if (!build_index(folder, index, error)) return false;
  for (auto& [name, entry] : index.entries) entries.push_back(std::move(entry.summary));
  return true;
}

std::optional<std::time_t> start_of(const EntrySummary& entry) {
  const std::string time = six_digit_time(entry.start_time);
  if (!is_date(entry.start_date) || time.empty()) return std::nullopt;
  const std::string_view date = entry.start_date;
  std::tm fields{};
  fields.tm_year = number_of(date.substr(0, 4)) - 1900;
  fields.tm_mon = number_of(date.substr(4, 2)) - 1;
  fields.tm_mday = number_of(date.substr(6, 2));
  fields.tm_hour = number_of(time.substr(0, 2));
  fields.tm_min = number_of(time.substr(2, 2));
  fields.tm_sec = number_of(time.substr(4, 2));
  fields.tm_isdst = -1;  // as the local rules had it on that day
  const std::time_t start = std::mktime(&fields);
  if (start == static_cast<std::time_t>(-1)) return std::nullopt;
  return start;
}

std::string start_text(const EntrySummary& entry) {
  const std::string time = six_digit_time(entry.start_time);
  if (is_date(entry.start_date) && !time.empty()) return entry.start_date + ' ' + time;
  if (entry.start_time.empty()) return entry.start_date;
  return entry.start_date + (entry.start_date.empty() ? "" : " ") + entry.start_time;
}

std::string read_date_range(const std::string& value, ListFilter& filter) {
  const std::size_t dash = value.find('-');
  const std::string from = value.substr(0, dash);
  const std::string to = dash == value.npos ? from : value.substr(dash + 1);
  if (!is_date(from) || !is_date(to)) return "FROM or FROM-TO, each a date YYYYMMDD";
  if (to < from) return "TO is before FROM";
  filter.from_date = from;
  filter.to_date = to;
  return {};
}

bool matches(const ListFilter& filter, const EntrySummary& entry) {
  if (!filter.patient_id.empty() && entry.patient_id != filter.patient_id) return false;
  if (!filter.accession_number.empty() && entry.accession_number != filter.accession_number) {
    return false;
  }
  if (!filter.order_number.empty() && entry.placer_order_number != filter.order_number &&
      entry.filler_order_number != filter.order_number) {
    return false;
  }
  if (filter.from_date.empty()) return true;
  return is_date(entry.start_date) && entry.start_date >= filter.from_date &&
         entry.start_date <= filter.to_date;
}

std::string list_line(const EntrySummary& entry) {
  const std::string columns[] = {entry.name,
                                 entry.patient_id,
                                 entry.patient_name,
                                 entry.accession_number,
                                 entry.requested_procedure_id,
                                 entry.step_id,
                                 entry.modality,
                                 entry.station_ae_title,
                                 start_text(entry),
                                 entry.status};
  std::string line;
  for (const std::string& value : columns) {
    line += column_text(value);
    line += '\t';
  }
  line.back() = '\n';
  return line;
}
