// Applying plans: the folder as it will be after each message, then one commit, then what of
// it reached the disk.
#include "mwld/apply.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "mwld/dicom.h"
#include "mwld/report.h"

namespace {

struct OrderNumbers {
  std::string placer;
  std::string filler;
};

// An entry belongs to a cancelled order when the filler numbers are equal or, where either has
// none, the placer numbers are; an empty number matches nothing.
bool belongs_to(const OrderNumbers& entry, const OrderStep& cancel) {
  if (!entry.filler.empty() && !cancel.filler_order_number.empty()) {
    return entry.filler == cancel.filler_order_number;
  }
  return !entry.placer.empty() && entry.placer == cancel.placer_order_number;
}

// The value of a top-level element. Trailing blanks are padding in the order numbers' VR,
// which an entry rewritten in Implicit VR does not name.
std::string text_of(const DataSet& data_set, std::uint32_t tag) {
  const Element* element = find_element(data_set, tag);
  if (!element) return {};
  const std::size_t end = element->value.find_last_not_of(' ');
  return element->value.substr(0, end == std::string::npos ? 0 : end + 1);
}

// Nothing when `bytes` are not a DICOM file the reader takes.
std::optional<OrderNumbers> order_numbers_of(const std::string& bytes) {
  const std::optional<DataSet> data_set = decode_file(bytes);
  if (!data_set) return std::nullopt;
  return OrderNumbers{text_of(*data_set, 0x00402016), text_of(*data_set, 0x00402017)};
}

// The folder's entries as the batch leaves them so far. Existing entries are read only when a
// cancel needs their order numbers.
struct FolderView {
  Folder& folder;
  std::map<std::string, std::optional<OrderNumbers>> changed;  // nothing: removed
  // Nothing: an entry that could not be read, so no cancel can tell whether it is its order's.
  std::optional<std::map<std::string, std::optional<OrderNumbers>>> existing;

  bool exists(const std::string& name) const {
    if (auto it = changed.find(name); it != changed.end()) return it->second.has_value();
    if (existing) return existing->count(name) > 0;
    return entry_exists(folder, name);
  }

  bool read_existing(std::string& error) {
    if (existing) return true;
    std::vector<std::string> names;
    if (!list_entries(folder, names, error)) return false;
    existing.emplace();
    for (const std::string& name : names) {
      std::string bytes;
      std::optional<OrderNumbers> numbers;
      if (read_entry(folder, name, bytes, error)) numbers = order_numbers_of(bytes);
      // An entry removed meanwhile is simply gone.
      if (numbers || entry_exists(folder, name)) (*existing)[name] = numbers;
    }
    error.clear();
    return true;
  }

  // The entries of the cancelled order, as the batch leaves the folder so far.
  std::vector<std::string> entries_of(const OrderStep& cancel) const {
    std::vector<std::string> names;
    for (const auto& [name, numbers] : *existing) {
      if (numbers && !changed.count(name) && belongs_to(*numbers, cancel)) names.push_back(name);
    }
    for (const auto& [name, numbers] : changed) {
      if (numbers && belongs_to(*numbers, cancel)) names.push_back(name);
    }
    return names;
  }

  // What a cancel says of the entries it could not read; empty when it read them all.
  std::string unreadable() const {
    std::string names;
    std::size_t count = 0;
    for (const auto& [name, numbers] : *existing) {
      if (numbers || changed.count(name)) continue;
      names += (count++ == 0 ? "" : ", ") + name;
    }
    if (count == 0) return {};
    return (count == 1 ? "entry " : "entries ") + names + " could not be read";
  }
};

// The lines of one message's steps, against the folder as `view` shows it; records the
// message's changes in `view` and `changes`, one line for each change.
MessageResult result_of(const MessagePlan& plan, FolderView& view,
                        std::vector<FolderChange>& changes) {
  MessageResult result;
  if (plan.rejection) {
    result.lines.push_back({Outcome::rejected, "", plan.rejection->text});
    return result;
  }
  std::vector<std::string> reasons;
  bool unreadable_named = false;  // once in a message
  std::set<std::string> written;
  for (const OrderStep& step : plan.steps) {
    for (const EntryFile& file : step.entries) written.insert(file.name);
  }
  for (const OrderStep& step : plan.steps) {
    if (step.action == OrderAction::none) reasons.push_back(step.reason);
    for (const EntryFile& file : step.entries) {
      const Outcome outcome = view.exists(file.name) ? Outcome::replaced : Outcome::created;
      result.lines.push_back({outcome, file.name, joined(file.entry.notes)});
      view.changed[file.name] =
          OrderNumbers{file.entry.placer_order_number, file.entry.filler_order_number};
      changes.push_back({file.name, file.bytes});
      // The same entry under the name an earlier version gave it goes, or it would stay on
      // the worklist beside its successor.
      const std::string& former = file.former_name;
      if (!former.empty() && !written.count(former) && view.exists(former)) {
        result.lines.push_back(
            {Outcome::removed, former, "the entry's earlier name; now " + file.name});
        view.changed[former] = std::nullopt;
        changes.push_back({former, std::nullopt});
      }
    }
    if (step.action != OrderAction::cancel) continue;
    const std::vector<std::string> names = view.entries_of(step);
    std::string unreadable = unreadable_named ? "" : view.unreadable();
    unreadable_named = unreadable_named || !unreadable.empty();
    if (names.empty()) reasons.push_back("no entries of order " + order_label(step));
    if (names.empty() && !unreadable.empty()) reasons.push_back(unreadable);
    for (const std::string& name : names) {
      result.lines.push_back({Outcome::removed, name, std::exchange(unreadable, "")});
      view.changed[name] = std::nullopt;
      changes.push_back({name, std::nullopt});
    }
  }
  result.entries_changed = result.lines.size();
  if (result.lines.empty()) result.lines.push_back({Outcome::ignored, "", joined(reasons)});
  return result;
}

// After a failed commit: the results of the messages before the first one with a change that
// did not reach the disk stand; from that one on, a result keeps the lines of its changes that
// reached the disk and moves those in an unknown state to `unknown`. `ends` holds the end of
// each message's changes in the batch.
void settle(std::vector<MessageResult>& results, const std::vector<std::size_t>& ends,
            const CommitProgress& progress) {
  bool stopped = false;
  std::size_t begin = 0;
  for (std::size_t i = 0; i < results.size(); ++i) {
    MessageResult& result = results[i];
    stopped = stopped || ends[i] > progress.durable;
    result.applied = !stopped;
    if (stopped) {
      std::vector<OutcomeLine> lines = std::move(result.lines);
      result.lines.clear();
      for (std::size_t change = begin; change < ends[i]; ++change) {
        OutcomeLine& line = lines[change - begin];
        if (change < progress.durable) {
          result.lines.push_back(std::move(line));
        } else if (change < progress.durable + progress.unknown) {
          result.unknown.push_back(std::move(line));
        }
      }
      result.entries_changed = result.lines.size();
    }
    begin = ends[i];
  }
}

bool has_cancel(const std::vector<const MessagePlan*>& plans) {
  for (const MessagePlan* plan : plans) {
    for (const OrderStep& step : plan->steps) {
      if (step.action == OrderAction::cancel) return true;
    }
  }
  return false;
}

}  // namespace

const char* outcome_word(Outcome outcome) {
  switch (outcome) {
    case Outcome::created:
      return "created";
    case Outcome::replaced:
      return "replaced";
    case Outcome::removed:
      return "removed";
    case Outcome::ignored:
      return "ignored";
    case Outcome::rejected:
      return "rejected";
  }
  return "";
}

bool apply_plans(Folder& folder, const std::vector<const MessagePlan*>& plans,
                 std::vector<MessageResult>& results, std::string& error) {
  results.assign(plans.size(), MessageResult{});
  if (!lock_folder(folder, error)) return false;
  FolderView view{folder, {}, std::nullopt};
  if (has_cancel(plans) && !view.read_existing(error)) {
    unlock_folder(folder);
    return false;
  }
  std::vector<FolderChange> changes;
  std::vector<std::size_t> ends;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    results[i] = result_of(*plans[i], view, changes);
    ends.push_back(changes.size());
  }
  CommitProgress progress;
  const bool committed = commit_changes(folder, changes, progress, error);
  unlock_folder(folder);
  settle(results, ends, progress);
  return committed;
}
