// The worklist's entries as an operator and the expiry see them: a summary of each of
// hl7mwld's entry files, and the lines `hl7mwld list` prints.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mwld/folder.h"

// What `list` shows of one entry, its text in UTF-8, and what finds and expires it.
struct EntrySummary {
  std::string name;     // the file's name
  std::string problem;  // why the file could not be read as an entry; empty when it could
  std::string patient_id;
  std::string issuer;  // of the Patient ID
  std::string patient_name;
  std::string admission_id;
  std::string accession_number;
  std::string requested_procedure_id;
  std::string step_id;  // of the first Scheduled Procedure Step
  std::string modality;
  std::string station_ae_title;
  std::string start_date;  // as the entry has them
  std::string start_time;
  std::string status;
  std::string placer_order_number;
  std::string filler_order_number;
};

// The summary of the entry file `name` holding `bytes`. Text of an entry in ISO_IR 100 is
// converted from Latin-1; other text is taken as it is (ASCII or UTF-8).
EntrySummary summary_of(const std::string& name, std::string_view bytes);

// Every entry file hl7mwld named in the folder ("hl7mwld-*.wl"), read once, sorted by name; an
// entry removed while it is read is left out. The problem of an entry that cannot be read
// begins with its path ("DIR/NAME: ..."). Takes no lock: hl7mwld replaces entries whole.
// False with the error when the folder cannot be listed. Reads the folder as the index does.
bool scan_entries(const Folder& folder, std::vector<EntrySummary>& entries, std::string& error);

// The start of the Scheduled Procedure Step in local time, or nothing when the entry has no
// valid date (YYYYMMDD) or a time that is neither empty (midnight) nor HH[MM[SS[.FFFFFF]]].
std::optional<std::time_t> start_of(const EntrySummary& entry);

// The start as lines name it: "YYYYMMDD HHMMSS" when it is readable, else the date and the
// time as the entry has them.
std::string start_text(const EntrySummary& entry);

// The filters of `list`; an empty one matches every entry.
struct ListFilter {
  std::string patient_id;
  std::string order_number;  // placer or filler
  std::string accession_number;
  std::string from_date;  // YYYYMMDD, inclusive
  std::string to_date;
};

// Reads a --date value, FROM or FROM-TO (YYYYMMDD each, FROM not after TO), into `filter`. An
// empty text when it is valid, else what is wrong.
std::string read_date_range(const std::string& value, ListFilter& filter);

// True when the readable entry passes every filter given.
bool matches(const ListFilter& filter, const EntrySummary& entry);

// The tab-separated line of an entry: file, patient ID, patient name, accession number,
// requested procedure ID, SPS ID, modality, station AE title, start, status; an empty value as
// "-", tabs and other control characters as blanks.
std::string list_line(const EntrySummary& entry);
