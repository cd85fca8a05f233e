// What one message asks of the worklist: the entries to write and the orders to cancel, or
// why the message is refused. Knows nothing of the folder.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "mwld/entry.h"
#include "mwld/message.h"
#include "mwld/orders.h"
#include "mwld/rejection.h"

// An entry ready for the folder: its file name and its file's bytes.
struct EntryFile {
  Entry entry;
  std::string name;
  std::string bytes;
  std::string former_name;  // the name earlier versions gave the entry, when it differs:
                            // that file is the same entry and is replaced
};

// What one order group asks.
struct OrderStep {
  OrderAction action = OrderAction::none;
  std::vector<EntryFile> entries;   // create
  std::string filler_order_number;  // cancel, start: the order's numbers, in UTF-8
  std::string placer_order_number;
  std::string reason;  // none: why nothing changes
};

// What a patient message asks of the entries of one patient.
enum class PatientAction {
  update,             // the patient's and the visit's attributes
  merge,              // the prior patient's entries become the surviving patient's
  change_identifier,  // the prior identifier's entries take the new one
};

struct PatientStep {
  PatientAction action = PatientAction::update;
  PatientKey patient;  // whose entries change: for a merge or a new identifier, the prior one
  std::string visit;   // the message's Admission ID: the visit's attributes change only in
                       // entries without one or with this one; empty: in every entry
  AttributeUpdates updates;
  std::string character_set;  // the Specific Character Set of the updates' text
};

struct MessagePlan {
  std::string control_id;              // MSH-10 as it stands
  std::string message_type;            // MSH-9.1 and 9.2, e.g. "ORM^O01"
  std::optional<Rejection> rejection;  // set: nothing of the message is applied
  std::vector<OrderStep> steps;
  std::vector<PatientStep> patient_steps;
  std::string reason;  // a message with no steps: why nothing changes
};

// The message's type as its lines and acknowledgements name it: MSH-9.1 and, when set, "^" and
// MSH-9.2, each a text value ("ORM^O01"); empty for a message without a readable MSH.
std::string message_type_of(const Message& message);

// The order message types hl7mwld takes: ORM^O01, OMI^O23, OMG^O19.
bool is_order_message_type(const std::string& message_type);

// Plans `message`: checks it (readable MSH, message type, character set, its size against
// options.max_entries, then for each new order a PID, an OBR and the entries' required values),
// groups it by order, maps and encodes every entry. A message with one refused order is refused
// whole. ADT messages are planned as plan_patient_message does.

MessagePlan plan_message(const Message& message, const MappingOptions& options);

// The text of an identifier of a message in `encoding` as the index holds entries' text: UTF-8.
std::string in_utf8(std::string text, Encoding encoding);

// The patient as the outcome lines name it: "ID", or "ID (ISSUER)".
std::string patient_label(const PatientKey& patient);

// The order as the outcome lines name it: its filler number, else its placer number.
const std::string& order_label(const OrderStep& step);
