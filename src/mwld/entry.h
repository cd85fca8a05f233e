// One requested procedure of an order to one worklist entry: the mapping table.
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mwld/dicom.h"
#include "mwld/identity.h"
#include "mwld/message.h"
#include "mwld/orders.h"
#include "mwld/rejection.h"

// The Scheduled Station AE Titles of the command line: one per modality, and one for the rest.
struct StationAets {
  std::vector<std::pair<std::string, std::string>> by_modality;  // modality, AE title
  std::string other = "ANY";
};

struct MappingOptions {
  StationAets stations;
  std::string date;  // the run's local date (YYYYMMDD) and time (HHMMSS), for an order that
  std::string time;  // gives no start date
  std::size_t max_entries = 100;  // a message writing more entries, or holding more order
                                  // groups, is refused
};

// The options of a run at `now`: the stations, the limit of entries, and the local date and
// time of `now`.
MappingOptions mapping_options(const StationAets& stations, std::size_t max_entries,
                               std::time_t now);

// Where one entry's values come from: a procedure of an order group, and one of its IPC.
struct EntrySource {
  const Message& message;
  const Fields* pid;  // nullptr when the message has none
  const Fields* pv1;
  const OrderGroup& group;
  const Procedure& procedure;
  const Fields* ipc;  // nullptr when the procedure has none
  const MappingOptions& options;
  const std::string& character_set;  // the DICOM term of the message's MSH-18
};

struct Entry {
  Identity identity;
  std::string placer_order_number;
  std::string filler_order_number;
  DataSet data_set;
  std::vector<std::string> notes;  // what the outcome line says of the values
  bool dated_by_clock = false;     // no start date in the message: the run's time was used
};

// The order's numbers as an entry holds them: filler ORC-3 else OBR-3, placer ORC-2 else
// OBR-2 (the OBR may be absent, as in a cancel).
std::string filler_order_number(const Message& message, const OrderGroup& group);
std::string placer_order_number(const Message& message, const OrderGroup& group);

// The entry's identity, its position not yet known.
Identity identity_of(const EntrySource& source);

// Why the entry cannot be made: the Patient ID, the Patient's Name, OBR-4.1 and 4.2 empty, or
// neither an order number nor an Accession Number. Nothing when it can.
std::optional<Rejection> check_entry(const EntrySource& source);

// The entry with `identity`, or why a value does not fit its element.
std::optional<Rejection> map_entry(const EntrySource& source, const Identity& identity,
                                   Entry& entry);
