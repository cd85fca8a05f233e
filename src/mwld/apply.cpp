// Applying plans: the folder as it will be after each message, then one commit, then what of
// it reached the disk.
#include "mwld/apply.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "mwld/entry_change.h"
#include "mwld/report.h"

namespace {

// An entry belongs to a cancelled order when the filler numbers are equal or, where either has
// none, the placer numbers are; an empty number matches nothing.
bool belongs_to(const EntrySummary& entry, const OrderStep& order) {
  if (!entry.filler_order_number.empty() && !order.filler_order_number.empty()) {
    return entry.filler_order_number == order.filler_order_number;
  }
  return !entry.placer_order_number.empty() &&
         entry.placer_order_number == order.placer_order_number;
}

// An entry is the patient's when the Patient IDs are equal and, where both have one, the
// issuers.
bool is_patients(const EntrySummary& entry, const PatientKey& patient) {
  return entry.patient_id == patient.id &&
         (entry.issuer.empty() || patient.issuer.empty() || entry.issuer == patient.issuer);
}

// A change of the batch so far: the entry's new file, with its summary when an index is kept.
struct Pending {
  std::string bytes;
  EntrySummary summary;
};

// The folder's entries as the batch leaves them so far: the index (when the batch needs one)
// under the batch's own changes.
struct FolderView {
  Folder& folder;
  const WorklistIndex* index;
  std::map<std::string, std::optional<Pending>> changed;  // nothing: removed

  bool exists(const std::string& name) const {
    if (auto it = changed.find(name); it != changed.end()) return it->second.has_value();
    if (index) return index->entries.count(name) > 0;
    return entry_exists(folder, name);
  }

  void write(const std::string& name, std::string bytes) {
    Pending pending{std::move(bytes), {}};
    if (index) pending.summary = summary_of(name, pending.bytes);
    changed[name] = std::move(pending);
  }

  // The names of the entries passing `test`, found by `key` in the index.
  template <typename Test>
  std::vector<std::string> find(const std::set<std::string>& found, Test test) const {
    std::set<std::string> names;
    for (const std::string& name : found) {
      if (!changed.count(name) && test(index->entries.at(name).summary)) names.insert(name);
    }
    for (const auto& [name, pending] : changed) {
      if (pending && test(pending->summary)) names.insert(name);
    }
    return {names.begin(), names.end()};
  }

  std::vector<std::string> entries_of(const OrderStep& order) const {
    std::set<std::string> found = entries_of_order(*index, order.filler_order_number);
    const std::set<std::string>& placed = entries_of_order(*index, order.placer_order_number);
    found.insert(placed.begin(), placed.end());
    return find(found, [&order](const EntrySummary& entry) { return belongs_to(entry, order); });
  }

  std::vector<std::string> entries_of(const PatientKey& patient) const {
    return find(entries_of_patient(*index, patient.id),
                [&patient](const EntrySummary& entry) { return is_patients(entry, patient); });
  }

  const EntrySummary& summary(const std::string& name) const {
    if (auto it = changed.find(name); it != changed.end()) return it->second->summary;
    return index->entries.at(name).summary;
  }

  bool bytes_of(const std::string& name, std::string& bytes) const {
    if (auto it = changed.find(name); it != changed.end()) {
      bytes = it->second->bytes;
      return true;
    }
    std::string ignored;
    return read_entry(folder, name, bytes, ignored);
  }

  // What a message says of the entries it could not read; empty when it read them all.
  std::string unreadable() const {
    std::string names;
    std::size_t count = 0;
    for (const std::string& name : index->unreadable) {
      if (changed.count(name)) continue;
      names += (count++ == 0 ? "" : ", ") + name;
    }
    if (count == 0) return {};
    return (count == 1 ? "entry " : "entries ") + names + " could not be read";
  }
};

// The entries `names` changed by `change` (bytes in, the change out), each a line; the entries
// it cannot change are named in `problems`.
template <typename Change>
void change_entries(const std::vector<std::string>& names, FolderView& view, Change change,
                    MessageResult& result, std::vector<FolderChange>& changes,
                    std::vector<std::string>& problems) {
  for (const std::string& name : names) {
    std::string bytes;
    ChangedEntry changed;
    if (!view.bytes_of(name, bytes)) {
      changed.problem = "it could not be read";
    } else {
      changed = change(name, bytes);
    }
    if (!changed.problem.empty())
      problems.push_back("entry " + name + " not changed: " + changed.problem);
    if (!changed.bytes) continue;
    result.lines.push_back({Outcome::updated, name, ""});
    changes.push_back({name, *changed.bytes});
    view.write(name, std::move(*changed.bytes));
  }
}

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
  if (!plan.reason.empty()) reasons.push_back(plan.reason);
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
      changes.push_back({file.name, file.bytes});
      view.write(file.name, file.bytes);
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
    if (step.action != OrderAction::cancel && step.action != OrderAction::start) continue;
    const std::vector<std::string> names = view.entries_of(step);
    std::string unreadable = unreadable_named ? "" : view.unreadable();
    unreadable_named = unreadable_named || !unreadable.empty();
    if (names.empty()) reasons.push_back("no entries of order " + order_label(step));
    if (names.empty() && !unreadable.empty()) reasons.push_back(unreadable);
    if (step.action == OrderAction::start) {
      if (!unreadable.empty() && !names.empty()) reasons.push_back(unreadable);
      const std::size_t before = result.lines.size();
      change_entries(
          names, view,
          [](const std::string&, const std::string& bytes) { return started_entry(bytes); }, result,
          changes, reasons);
      if (!names.empty() && result.lines.size() == before) {
        reasons.push_back("the entries of order " + order_label(step) + " are STARTED already");
      }
      continue;
    }
    for (const std::string& name : names) {
      result.lines.push_back({Outcome::removed, name, std::exchange(unreadable, "")});
      view.changed[name] = std::nullopt;
      changes.push_back({name, std::nullopt});
    }
  }
  for (const PatientStep& step : plan.patient_steps) {
    const std::vector<std::string> names = view.entries_of(step.patient);
    if (names.empty()) reasons.push_back("no entries of patient " + patient_label(step.patient));
    const std::string unreadable = unreadable_named ? "" : view.unreadable();
    unreadable_named = unreadable_named || !unreadable.empty();
    if (!unreadable.empty()) reasons.push_back(unreadable);
    auto update = [&view, &step](const std::string& name, const std::string& bytes) {
      const std::string& admission = view.summary(name).admission_id;
      const bool same_visit = step.visit.empty() || admission.empty() || admission == step.visit;
      return updated_entry(bytes, step, same_visit);
    };
    const std::size_t before = result.lines.size();
    change_entries(names, view, update, result, changes, reasons);
    if (!names.empty() && result.lines.size() == before) {
      reasons.push_back("the entries of patient " + patient_label(step.patient) +
                        " hold these values already");
    }
  }
  result.entries_changed = result.lines.size();
  if (result.lines.empty()) {
    result.lines.push_back({Outcome::ignored, "", joined(reasons)});
  } else if (!reasons.empty() && !plan.patient_steps.empty()) {
    result.lines.back().reason = joined(reasons);
  }
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

// Cancels, starts and patient messages find their entries in the index.
bool needs_index(const std::vector<const MessagePlan*>& plans) {
  for (const MessagePlan* plan : plans) {
    if (!plan->patient_steps.empty()) return true;
    for (const OrderStep& step : plan->steps) {
      if (step.action == OrderAction::cancel || step.action == OrderAction::start) return true;
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
    case Outcome::updated:
      return "updated";
    case Outcome::ignored:
      return "ignored";
    case Outcome::rejected:
      return "rejected";
  }
  return "";
}

bool apply_plans(Folder& folder, WorklistIndex& index, const std::vector<const MessagePlan*>& plans,
                 std::vector<MessageResult>& results, std::string& error) {
  results.assign(plans.size(), {});
  if (!lock_folder(folder, error)) return false;
  const bool indexed = index.built || needs_index(plans);
  if (indexed && !refresh_index(folder, index, error)) {
    unlock_folder(folder);
    return false;
  }
  FolderView view{folder, indexed ? &index : nullptr, {}};
  std::vector<FolderChange> changes;
  std::vector<std::size_t> ends;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    results[i] = result_of(*plans[i], view, changes);
    ends.push_back(changes.size());
  }
  // The index records the changes while the commit's record flushes; a commit that fails
  // makes it look at the folder again.
  const WhileFlushing record = [&](const std::vector<FileStamp>& stamps) {
    index_changes(index, changes, stamps);
  };
  CommitProgress progress;
  const bool committed =
      commit_changes(folder, changes, progress, error, indexed ? record : nullptr);
  if (indexed) index_ended(folder, index, committed, progress);
  unlock_folder(folder);
  settle(results, ends, progress);
  return committed;
}
