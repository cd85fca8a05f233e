// One requested procedure of an order to one worklist entry: the mapping table.
#pragma once

#include <cstddef>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mwld/dicom.h"
#include "mwld/identity.h"
#include "mwld/message.h"
#include "mwld/orders.h"
#include "mwld/rejection.h"
#include "mwld/source.h"
#include "mwld/values.h"

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
  // A site's profile: the sources of the rows it names (by the row's path), its own sender
  // codes of modalities, entries all in UTF-8, and identifiers longer than their VR refused.
  std::map<std::string, std::vector<Source>> sources;
  std::vector<std::pair<std::string, std::string>> modalities;  // sender code, DICOM modality
  bool utf8 = false;
  bool refuse_long_identifiers = false;
};

// The options of a run at `now`: the stations, the limit of entries, and the local date and
// time of `now`.
MappingOptions mapping_options(const StationAets& stations, std::size_t max_entries,
                               std::time_t now);

// Sets the run's date and time in `options` to the local date and time of `now`.
void set_clock(MappingOptions& options, std::time_t now);

// The segments one entry's values are read from, whatever the message's shape: its MSH, PID,
// PV1, every AL1 and OBX; the order's ORC and TQ1; the procedure's OBR, ZDS and one IPC.
// nullptr for a segment the message or the order does not have.
struct EntrySegments {
  const Message* message = nullptr;
  const Fields* msh = nullptr;
  const Fields* pid = nullptr;
  const Fields* pv1 = nullptr;
  const Fields* orc = nullptr;
  const Fields* tq1 = nullptr;
  const Fields* obr = nullptr;
  const Fields* zds = nullptr;
  const Fields* ipc = nullptr;
  const Fields* mrg = nullptr;  // of a merge: the record merged away
  std::vector<const Fields*> al1;
  std::vector<const Fields*> obx;
};

// The segments of `message` that every entry of it reads: MSH, PID, PV1, AL1, OBX. Found once
// per message.
EntrySegments message_segments(const Message& message);

// `of_message` with the segments of the entry of `procedure` (nullptr for a group without OBR)
// of `group`, and of `ipc` (nullptr for none).
EntrySegments entry_segments(EntrySegments of_message, const OrderGroup& group,
                             const Procedure* procedure, const Fields* ipc);

// How the message's text is read and written: the Specific Character Set the entries declare,
// the encoding of the text as the message holds it, whether it is converted to UTF-8 (a profile
// asking for UTF-8 entries), and what the line says when MSH-18 left the choice to hl7mwld.
struct CharacterSet {
  std::string term;
  Encoding encoding = Encoding::single_byte;
  bool to_utf8 = false;
  std::string note;
};

// The character set of `message` by its MSH-18 (blanks around it ignored): "8859/1" ISO_IR 100,
// "UNICODE UTF-8" ISO_IR 192, "ASCII" none; empty: none for text all in ASCII, ISO_IR 192 for
// valid UTF-8, ISO_IR 100 otherwise, and the note says which was assumed. With `utf8`, every
// entry is ISO_IR 192, single-byte text converted. Nothing for any other MSH-18.
std::optional<CharacterSet> character_set_of(const Message& message, bool utf8);

// Where one entry's values come from.
struct EntrySource {
  EntrySegments segments;
  const MappingOptions& options;
  const CharacterSet& character_set;
};

struct Entry {
  Identity identity;
  std::string placer_order_number;
  std::string filler_order_number;
  DataSet data_set;
  std::vector<std::string> notes;  // what the outcome line says of the values
  bool dated_by_clock = false;     // no start date in the message: the run's time was used
};

// The order's numbers as an entry holds them, by the Filler and Placer Order Number rows: filler
// ORC-3 else OBR-3, placer ORC-2 else OBR-2 (the OBR may be absent, as in a cancel). Escapes
// decoded and nothing else changed, so that a number no entry can hold matches none.
std::string filler_order_number(const EntrySource& source);
std::string placer_order_number(const EntrySource& source);

// The entry's identity, its position not yet known.
Identity identity_of(const EntrySource& source);

// The identity today's names were made of: the Requested Procedure ID and SPS ID taken whole
// from the first set of IPC-2, OBR-19, the Accession Number, the order number (IPC-4, OBR-20,
// that ID), without a set ID's suffix; so that an entry written under such a name is replaced.
Identity former_identity_of(const EntrySource& source);

// Why the entry cannot be made: no Patient ID, no Patient's Name, no procedure in OBR-4 (its
// components 1, 2, 4, 5), OBR-44 or IPC-6, or neither an order number nor an Accession Number.
// Nothing when it can.
std::optional<Rejection> check_entry(const EntrySource& source);

// The entry with `identity`, or why a value does not fit its element.
std::optional<Rejection> map_entry(const EntrySource& source, const Identity& identity,
                                   Entry& entry);

// A patient as entries name it: the Patient ID and, when known, its issuer.
struct PatientKey {
  std::string id;
  std::string issuer;
};

// The patient of the message's PID by the Patient ID and Issuer of Patient ID rows; and the
// patient a merge names in its MRG: the same rows read from MRG-1 in place of PID-3 and MRG-4 in
// place of PID-2, then MRG-4 (as versions before 2.3.1 send it). An empty `id` when there is none.
PatientKey patient_of(const EntrySource& source);
PatientKey prior_patient_of(const EntrySource& source);

// What the `patient` and `visit` rows of an update message write: an element for each row
// whose fields in PID or PV1 (by the profile's sources; sources in other segments are not read)
// are set, with an empty value for one sent as HL7's null (""). A row whose fields are absent or
// empty is not among them: the entry keeps its value.
struct AttributeUpdates {
  DataSet patient;  // Patient's Name, ID, Issuer of Patient ID, Birth Date, Sex
  DataSet visit;    // Admission ID, Current Patient Location, Referring Physician's Name
  std::vector<std::string> notes;
};

// The updates the message gives, or why a value cannot be written (as map_entry refuses it).
std::optional<Rejection> map_attribute_updates(const EntrySource& source,
                                               AttributeUpdates& updates);

// The VR the mapping table gives the attribute `tag` (in any sequence's item), or nothing for
// an attribute it does not write: how an entry read back in Implicit VR gets its VRs again.
std::optional<std::string_view> table_vr(std::uint32_t tag);

// The mapping table as `options` leave it: one line per row, "Attribute (gggg,eeee) sources",
// the sources in the table's notation, or the rule that makes the value when it is no list of
// fields; rows of a sequence's item indented.
std::string mapping_text(const MappingOptions& options);

// The path of every row that reads a list of sources (a profile may replace them), e.g.
// "AccessionNumber", "RequestedProcedureCodeSequence.CodeValue".
std::vector<std::string> source_rows();
