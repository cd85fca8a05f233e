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
  std::string filler_order_number;  // cancel: the order's numbers
  std::string placer_order_number;
  std::string reason;  // none: why nothing changes
};

struct MessagePlan {
  std::string control_id;              // MSH-10 as it stands
  std::string message_type;            // MSH-9.1 and 9.2, e.g. "ORM^O01"
  std::optional<Rejection> rejection;  // set: nothing of the message is applied
  std::vector<OrderStep> steps;
};

// The message's type as its lines and acknowledgements name it: MSH-9.1 and, when set, "^" and
// MSH-9.2, each a text value ("ORM^O01"); empty for a message without a readable MSH.
std::string message_type_of(const Message& message);

// The message types hl7mwld takes: ORM^O01, OMI^O23, OMG^O19.
bool is_order_message_type(const std::string& message_type);

// Plans `message`: checks it (readable MSH, message type, character set, its size against
// options.max_entries, then for each new order a PID, an OBR and the entries' required values),
// groups it by order, maps and encodes every entry. A message with one refused order is refused
// whole.
MessagePlan plan_message(const Message& message, const MappingOptions& options);

// The order as the outcome lines name it: its filler number, else its placer number.
const std::string& order_label(const OrderStep& step);
