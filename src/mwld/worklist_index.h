// The index of a worklist folder: each entry read once, then found by its order numbers, its
// patient or its start without reading the folder again, and kept true to the folder.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "mwld/folder.h"
#include "mwld/listing.h"

// One entry file as the index knows it: its summary (the problem set when it could not be
// read), and the stamp of the file it was read from.
struct IndexedEntry {
  EntrySummary summary;
  FileStamp stamp;
};

struct WorklistIndex {
  bool built = false;
  // The folder's generation and its own stamp when the index last matched it; a generation of
  // kUnknownGeneration makes the next refresh compare every file.
  std::uint64_t generation = 0;
  FileStamp folder_stamp;
  std::map<std::string, IndexedEntry> entries;              // by file name
  std::map<std::string, std::set<std::string>> by_order;    // placer and filler number
  std::map<std::string, std::set<std::string>> by_patient;  // Patient ID
  std::multimap<std::time_t, std::string> by_start;         // readable starts only
  std::set<std::string> unstarted;                          // entries read without a readable start
  std::set<std::string> unreadable;  // files that could not be read as entries
};

inline constexpr std::uint64_t kUnknownGeneration = UINT64_MAX;

// Brings `index` up to date with the folder; call it holding the lock. The first time it reads
// every entry. Later, when neither the folder's generation nor its stamp changed since the index
// last matched it, it reads nothing more; otherwise it lists the folder with each file's stamp
// and reads only the entries added or changed. False with the error when the folder cannot be
// listed (the index is then left to be built again).
bool refresh_index(Folder& folder, WorklistIndex& index, std::string& error);

// Builds `index` from every entry of the folder, taking no lock.
bool build_index(const Folder& folder, WorklistIndex& index, std::string& error);

// Puts the entry `name` with `bytes` into the index, or takes it out when `bytes` is nothing,
// after a commit changed it; `stamp` is the file's new stamp.
void index_entry(WorklistIndex& index, const std::string& name, const std::string* bytes,
                 const FileStamp& stamp);

// After a commit holding the lock: records the changes that reached the disk and the folder's
// new generation and stamp. When some changes are in an unknown state, the next refresh compares
// every file.
void index_commit(const Folder& folder, WorklistIndex& index,
                  const std::vector<FolderChange>& changes, const CommitProgress& progress);

// The same in two steps, for a commit's WhileFlushing: index_changes records every change as
// made, with its new file's stamp; index_ended then records the folder's new generation and
// stamp, or, when the commit failed, has the next refresh compare every file, which puts right
// what the commit did not make.
void index_changes(WorklistIndex& index, const std::vector<FolderChange>& changes,
                   const std::vector<FileStamp>& stamps);
void index_ended(const Folder& folder, WorklistIndex& index, bool committed,
                 const CommitProgress& progress);

// The names of the entries whose placer or filler number is `number`, or whose Patient ID is
// `patient_id`.
const std::set<std::string>& entries_of_order(const WorklistIndex& index,
                                              const std::string& number);
const std::set<std::string>& entries_of_patient(const WorklistIndex& index,
                                                const std::string& patient_id);
