// Planning a message: checks, order groups, identities, entries and their files.
#include "mwld/plan.h"

#include <algorithm>
#include <map>
#include <tuple>
#include <utility>

#include "mwld/adt.h"
#include "mwld/identity.h"
#include "mwld/values.h"

namespace {

// The places of one entry in its message, before its identity is settled; and the identity
// today's names were made of, whose file the entry replaces.
struct Planned {
  std::size_t group;  // the index of its order group, and of the step of that group
  const Procedure* procedure;
  const Fields* ipc;
  Identity identity;
  Identity former;
};

// Checks the MSH; sets `character_set` to how its text is read and written.
std::optional<Rejection> check_header(const Message& message, const std::string& message_type,
                                      bool utf8, CharacterSet& character_set) {
  if (!message.readable) {
    return Rejection{kSegmentSequenceError, "no readable MSH segment", "MSH", 0};
  }
  if (!is_order_message_type(message_type) && !is_patient_message_type(message_type)) {
    return Rejection{kUnsupportedMessageType, "unsupported message type " + message_type, "MSH", 9};
  }
  const std::optional<CharacterSet> set = character_set_of(message, utf8);
  if (!set) {
    const std::string& declared = field(message.segments.front(), 18);
    return Rejection{kTableValueNotFound, "unknown character set " + text_value(declared), "MSH",
                     18};
  }
  character_set = *set;
  return std::nullopt;
}

// A rejected message applies nothing.
MessagePlan rejected(MessagePlan plan) {
  plan.steps.clear();
  plan.patient_steps.clear();
  return plan;
}

// Entries with the same identity are told apart by their place among them.
void number_alike(std::vector<Planned>& planned, Identity Planned::*member) {
  std::map<std::tuple<std::string, std::string, std::string>, std::size_t> counts;
  auto key = [member](const Planned& p) {
    const Identity& i = p.*member;
    return std::make_tuple(i.order_number, i.requested_procedure_id, i.step_id);
  };
  for (const Planned& p : planned) ++counts[key(p)];
  std::map<std::tuple<std::string, std::string, std::string>, std::size_t> seen;
  for (Planned& p : planned) {
    if (counts[key(p)] > 1) (p.*member).position = ++seen[key(p)];
  }
}

// The entries a message would write: one per OBR of a new or replaced order, and one per IPC
// where an OBR has several. Counted before anything is mapped, so that a message of a hundred
// thousand OBRs costs no more than its refusal.
std::size_t entries_to_write(const Message& message, const std::vector<OrderGroup>& groups) {
  std::size_t count = 0;
  for (const OrderGroup& group : groups) {
    const std::string control = field_text(group.orc, 1, 1, message.separators);
    const std::string status = field_text(group.orc, 5, 1, message.separators);
    if (order_action(control, status) != OrderAction::create) continue;
    for (const Procedure& procedure : group.procedures) {
      count += std::max<std::size_t>(procedure.ipcs.size(), 1);
    }
  }
  return count;
}

// The message's size against --max-entries: its order groups (creates, replacements and cancels
// together), then the entries it would write.
std::optional<Rejection> check_size(const Message& message, const std::vector<OrderGroup>& groups,
                                    std::size_t max_entries) {
  const std::string limit = " (--max-entries " + std::to_string(max_entries) + ")";
  if (groups.size() > max_entries) {
    return Rejection{kApplicationInternalError,
                     "the message holds " + std::to_string(groups.size()) + " order groups" + limit,
                     "", 0};
  }
  const std::size_t entries = entries_to_write(message, groups);
  if (entries > max_entries) {
    return Rejection{kApplicationInternalError,
                     "the message would write " + std::to_string(entries) + " entries" + limit, "",
                     0};
  }
  return std::nullopt;
}

}  // namespace

std::string message_type_of(const Message& message) {
  if (!message.readable) return {};
  const std::string& type = field(message.segments.front(), 9);
  const std::string code = text_value(part_of(type, 1, message.separators));
  const std::string trigger = text_value(part_of(type, 2, message.separators));
  return trigger.empty() ? code : code + "^" + trigger;
}

bool is_order_message_type(const std::string& message_type) {
  return message_type == "ORM^O01" || message_type == "OMI^O23" || message_type == "OMG^O19";
}

std::string in_utf8(std::string text, Encoding encoding) {
  return encoding == Encoding::single_byte ? utf8_of(text) : text;
}

std::string patient_label(const PatientKey& patient) {
  return patient.issuer.empty() ? patient.id : patient.id + " (" + patient.issuer + ")";
}

const std::string& order_label(const OrderStep& step) {
  return step.filler_order_number.empty() ? step.placer_order_number : step.filler_order_number;
}

MessagePlan plan_message(const Message& message, const MappingOptions& options) {
  MessagePlan plan;
  if (message.readable) plan.control_id = field(message.segments.front(), 10);
  plan.message_type = message_type_of(message);
  CharacterSet character_set;
  plan.rejection = check_header(message, plan.message_type, options.utf8, character_set);
  if (plan.rejection) return plan;
  if (is_patient_message_type(plan.message_type)) {
    plan_patient_message(message, options, character_set, plan);
    if (plan.rejection) return rejected(std::move(plan));
    return plan;
  }

  const std::vector<OrderGroup> groups = order_groups(message);
  const Fields* pid = find_segment(message, "PID");
  if (groups.empty()) {
    plan.rejection = pid ? Rejection{kSegmentSequenceError, "no OBR segment", "OBR", 0}
                         : Rejection{kSegmentSequenceError, "no PID segment", "PID", 0};
    return plan;
  }
  plan.rejection = check_size(message, groups, options.max_entries);
  if (plan.rejection) return plan;
  const EntrySegments of_message = message_segments(message);
  std::vector<Planned> planned;
  for (const OrderGroup& group : groups) {
    OrderStep& step = plan.steps.emplace_back();
    const std::string control = field_text(group.orc, 1, 1, message.separators);
    const std::string status = field_text(group.orc, 5, 1, message.separators);
    step.action = order_action(control, status);
    const Procedure* first = group.procedures.empty() ? nullptr : &group.procedures.front();
    const EntrySource order{entry_segments(of_message, group, first, nullptr), options,
                            character_set};
    step.filler_order_number = in_utf8(filler_order_number(order), character_set.encoding);
    step.placer_order_number = in_utf8(placer_order_number(order), character_set.encoding);
    if (step.action == OrderAction::none) {
      step.reason = "order control " + control + (control == "SC" ? " with status " + status : "") +
                    " changes no entry";
    } else if (step.action != OrderAction::create && order_label(step).empty()) {
      const char* verb = step.action == OrderAction::cancel ? "cancel" : "start";
      plan.rejection =
          Rejection{kRequiredFieldMissing, std::string("no order number to ") + verb, "ORC", 2};
    } else if (step.action == OrderAction::create) {
      if (!pid) {
        plan.rejection = Rejection{kSegmentSequenceError, "no PID segment", "PID", 0};
      } else if (group.procedures.empty()) {
        plan.rejection = Rejection{kSegmentSequenceError, "no OBR segment", "OBR", 0};
      }
      for (const Procedure& procedure : group.procedures) {
        std::vector<const Fields*> ipcs = procedure.ipcs;
        if (ipcs.empty()) ipcs.push_back(nullptr);
        for (const Fields* ipc : ipcs) {
          const EntrySource source{entry_segments(of_message, group, &procedure, ipc), options,
                                   character_set};
          if (!plan.rejection) plan.rejection = check_entry(source);
          planned.push_back({plan.steps.size() - 1, &procedure, ipc, identity_of(source),
                             former_identity_of(source)});
        }
      }
    }
    if (plan.rejection) return rejected(std::move(plan));
  }

  number_alike(planned, &Planned::identity);
  number_alike(planned, &Planned::former);
  for (const Planned& p : planned) {
    const EntrySource source{entry_segments(of_message, groups[p.group], p.procedure, p.ipc),
                             options, character_set};
    EntryFile& file = plan.steps[p.group].entries.emplace_back();
    plan.rejection = map_entry(source, p.identity, file.entry);
    if (plan.rejection) return rejected(std::move(plan));
    file.name = entry_file_name(p.identity);
    const std::string former = entry_file_name(p.former);
    if (former != file.name) file.former_name = former;
    file.bytes = encode_file(file.entry.data_set, derived_uid(p.identity, "instance"));
  }
  return plan;
}
