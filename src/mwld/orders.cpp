// Grouping a message's segments by order, and the order control table.
#include "mwld/orders.h"

#include <string>

namespace {

bool is(const Fields& segment, std::string_view id) { return !segment.empty() && segment[0] == id; }

struct ActionRow {
  std::string_view control;
  std::string_view status;  // for SC only
  OrderAction action;
};

// clang-format off
constexpr ActionRow kActions[] = {
    {"NW", "",   OrderAction::create},
    {"XO", "",   OrderAction::create},
    {"",   "",   OrderAction::create},
    {"SC", "SC", OrderAction::create},
    {"SC", "IP", OrderAction::start},
    {"SC", "",   OrderAction::create},
    {"CA", "",   OrderAction::cancel},
    {"OC", "",   OrderAction::cancel},
    {"DC", "",   OrderAction::cancel},
    {"OD", "",   OrderAction::cancel},
    {"SC", "CA", OrderAction::cancel},
    {"SC", "DC", OrderAction::cancel},
    {"SC", "CM", OrderAction::cancel},
};
// clang-format on

}  // namespace

std::vector<OrderGroup> order_groups(const Message& message) {
  std::vector<OrderGroup> groups;
  for (const Fields& segment : message.segments) {
    if (is(segment, "ORC")) {
      groups.push_back({&segment, nullptr, {}});
    } else if (is(segment, "TQ1")) {
      if (!groups.empty() && !groups.back().tq1) groups.back().tq1 = &segment;
    } else if (is(segment, "OBR")) {
      if (groups.empty()) groups.emplace_back();
      groups.back().procedures.push_back({&segment, nullptr, {}});
    } else if (is(segment, "ZDS") || is(segment, "IPC")) {
      if (groups.empty() || groups.back().procedures.empty()) continue;
      Procedure& procedure = groups.back().procedures.back();
      if (is(segment, "IPC")) {
        procedure.ipcs.push_back(&segment);
      } else if (!procedure.zds) {
        procedure.zds = &segment;
      }
    }
  }
  return groups;
}

OrderAction order_action(std::string_view control, std::string_view status) {
  for (const ActionRow& row : kActions) {
    if (row.control != control) continue;
    if (row.control != "SC" || row.status == status) return row.action;
  }
  return OrderAction::none;
}
