// Messages to order groups: which segments belong to which order, and what the order asks.
#pragma once

#include <string_view>
#include <vector>

#include "mwld/message.h"

// One requested procedure: its OBR, the ZDS after it and the IPC segments under it.
struct Procedure {
  const Fields* obr = nullptr;
  const Fields* zds = nullptr;
  std::vector<const Fields*> ipcs;
};

// One ORC and what follows it up to the next ORC. An OBR with no ORC before it forms a group
// whose `orc` is nullptr, read as an ORC with empty fields.
struct OrderGroup {
  const Fields* orc = nullptr;
  const Fields* tq1 = nullptr;  // the first TQ1 after the ORC
  std::vector<Procedure> procedures;
};

// The order groups of `message`, in message order. The segments stay in `message`.
std::vector<OrderGroup> order_groups(const Message& message);

// What an order control asks of the worklist.
enum class OrderAction { create, cancel, start, none };

// The action for order control `control` (ORC-1) and order status `status` (ORC-5):
// NW, XO, empty, and SC with status SC or empty create (or replace); CA, OC, DC, OD, and
// SC with status CA, DC or CM cancel; SC with status IP starts the order's entries (their
// step's status STARTED, nothing else changed); anything else does nothing.
OrderAction order_action(std::string_view control, std::string_view status);
