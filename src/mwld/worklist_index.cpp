// Building the index from the folder, refreshing it from what changed, and keeping it current.
#include "mwld/worklist_index.h"

#include <utility>

#include "mwld/folder_system.h"

namespace {

void remove_key(std::map<std::string, std::set<std::string>>& keys, const std::string& key,
                const std::string& name) {
  if (key.empty()) return;
  const auto found = keys.find(key);
  if (found == keys.end()) return;
  found->second.erase(name);
  if (found->second.empty()) keys.erase(found);
}

void add_key(std::map<std::string, std::set<std::string>>& keys, const std::string& key,
             const std::string& name) {
  if (!key.empty()) keys[key].insert(name);
}

void forget(WorklistIndex& index, const std::string& name) {
  const auto found = index.entries.find(name);
  if (found == index.entries.end()) return;
  const EntrySummary& entry = found->second.summary;
  remove_key(index.by_order, entry.placer_order_number, name);
  remove_key(index.by_order, entry.filler_order_number, name);
  remove_key(index.by_patient, entry.patient_id, name);
  if (const std::optional<std::time_t> start = start_of(entry)) {
    auto [first, last] = index.by_start.equal_range(*start);
    for (; first != last; ++first) {
      if (first->second == name) {
        index.by_start.erase(first);
        break;
      }
    }
  }
  index.unstarted.erase(name);
  index.unreadable.erase(name);
  index.entries.erase(found);
}

void remember(WorklistIndex& index, EntrySummary entry, const FileStamp& stamp) {
  const std::string name = entry.name;
  forget(index, name);
  if (!entry.problem.empty()) {
    index.unreadable.insert(name);
  } else {
    add_key(index.by_order, entry.placer_order_number, name);
    add_key(index.by_order, entry.filler_order_number, name);
    add_key(index.by_patient, entry.patient_id, name);
    if (const std::optional<std::time_t> start = start_of(entry)) {
      index.by_start.emplace(*start, name);
    } else {
      index.unstarted.insert(name);
    }
  }
  index.entries[name] = IndexedEntry{std::move(entry), stamp};
}

// Reads the entry `name` into the index; one removed meanwhile is taken out.
void read_into(const Folder& folder, WorklistIndex& index, const std::string& name,
               const FileStamp& stamp) {
  std::string bytes;
  std::string problem;
  if (read_entry(folder, name, bytes, problem)) {
    EntrySummary entry = summary_of(name, bytes);
    if (!entry.problem.empty()) entry.problem = path_in(folder.path, name) + ": " + entry.problem;
    remember(index, std::move(entry), stamp);
  } else if (entry_exists(folder, name)) {
    EntrySummary entry;
    entry.name = name;
    entry.problem = problem;
    remember(index, std::move(entry), stamp);
  } else {
    forget(index, name);
  }
}

// Reads what changed since the index last matched the folder: every entry whose name or stamp
// is new, and takes out those that are gone.
bool reread_changed(const Folder& folder, WorklistIndex& index, std::string& error) {
  std::vector<std::string> names;
  std::vector<FileStamp> stamps;
  if (!list_stamped_entries(folder, names, stamps, error)) return false;
  std::set<std::string> listed(names.begin(), names.end());
  for (auto it = index.entries.begin(); it != index.entries.end();) {
    const std::string& name = (it++)->first;
    if (!listed.count(name)) forget(index, name);
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    const auto found = index.entries.find(names[i]);
    if (found == index.entries.end() || !(found->second.stamp == stamps[i])) {
      read_into(folder, index, names[i], stamps[i]);
    }
  }
  return true;
}

const std::set<std::string>& names_at(const std::map<std::string, std::set<std::string>>& keys,
                                      const std::string& key) {
  static const std::set<std::string> kNone;
  if (key.empty()) return kNone;
  const auto found = keys.find(key);
  return found == keys.end() ? kNone : found->second;
}

}  // namespace

bool build_index(const Folder& folder, WorklistIndex& index, std::string& error) {
  index = WorklistIndex{};
  index.generation = folder_generation(folder);
  index.folder_stamp = stamp_of_entry(folder, "");
  if (!reread_changed(folder, index, error)) return false;
  index.built = true;
  return true;
}

bool refresh_index(Folder& folder, WorklistIndex& index, std::string& error) {
  if (!index.built) return build_index(folder, index, error);
  // Read before the listing: a writer that ignores the lock and changes the folder meanwhile
  // changes the stamp again after this read.
  const std::uint64_t generation = folder_generation(folder);
  const FileStamp folder_stamp = stamp_of_entry(folder, "");
  if (generation == index.generation && folder_stamp == index.folder_stamp) return true;
  if (!reread_changed(folder, index, error)) {
    index.built = false;
    return false;
  }
  index.generation = generation;
  index.folder_stamp = folder_stamp;
  return true;
}

void index_entry(WorklistIndex& index, const std::string& name, const std::string* bytes,
                 const FileStamp& stamp) {
  if (!bytes) {
    forget(index, name);
    return;
  }
  remember(index, summary_of(name, *bytes), stamp);
}

void index_commit(const Folder& folder, WorklistIndex& index,
                  const std::vector<FolderChange>& changes, const CommitProgress& progress) {
  if (!index.built) return;
  for (std::size_t i = 0; i < progress.durable && i < changes.size(); ++i) {
    const FolderChange& change = changes[i];
    index_entry(index, change.name, change.bytes ? &*change.bytes : nullptr,
                change.bytes ? stamp_of_entry(folder, change.name) : FileStamp{});
  }
  index_ended(folder, index, progress.unknown == 0 && progress.durable == changes.size(),
              progress);
}

void index_changes(WorklistIndex& index, const std::vector<FolderChange>& changes,
                   const std::vector<FileStamp>& stamps) {
  if (!index.built) return;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    index_entry(index, changes[i].name, changes[i].bytes ? &*changes[i].bytes : nullptr,
                stamps[i]);
  }
}

void index_ended(const Folder& folder, WorklistIndex& index, bool committed,
                 const CommitProgress& progress) {
  if (!index.built) return;
  if (!committed) {
    index.generation = kUnknownGeneration;
    return;
  }
  index.generation = progress.generation != 0 ? progress.generation : folder_generation(folder);
  index.folder_stamp = stamp_of_entry(folder, "");
}

const std::set<std::string>& entries_of_order(const WorklistIndex& index,
                                              const std::string& number) {
  return names_at(index.by_order, number);
}

const std::set<std::string>& entries_of_patient(const WorklistIndex& index,
                                                const std::string& patient_id) {
  return names_at(index.by_patient, patient_id);
}
