// The worklist folder: its lock, and durable changes to the entry files hl7mwld names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class Flushers;
struct Journal;
// Ends the journal's checkpoint thread and closes it, as its folder goes away (journal.cpp).
struct JournalCloser {
  void operator()(Journal* journal) const;
};

// An open worklist folder. It keeps its `lockfile` open from open_folder to the end of its
// life, because a POSIX record lock vanishes when any descriptor of the file is closed.
struct Folder {
  std::string path;
  std::intptr_t lock_handle = -1;  // the descriptor (POSIX) or HANDLE (Windows) of lockfile
  bool locked = false;
  std::unique_ptr<Flushers> flushers;  // from the first commit on
  std::unique_ptr<Journal, JournalCloser> journal;  // from the first commit or recovery on

  Folder();
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  Folder(Folder&& other) noexcept;
  Folder& operator=(Folder&& other) noexcept;
  ~Folder();  // unlocks and closes lockfile
};

// A change to one entry file: `bytes` is its new content, or nothing to remove it.
struct FolderChange {
  std::string name;
  std::optional<std::string> bytes;
};

// Errors are returned as "PATH: <system error text>" in `error`, PATH being the file or folder
// the failed call named; functions return false then.

// Opens the folder at `path`: it must exist, be a folder and be writable. Opens its
// `lockfile`, creating it with mode 0664 (whatever the umask) when it is missing, so that a
// worklist server running as another user of the group can lock it too.
bool open_folder(const std::string& path, Folder& folder, std::string& error);

// Opens the folder as open_folder does, then, holding the lock, removes the temporary files a
// crashed writer left behind: how apply and serve begin.
bool open_folder_and_clean_up(const std::string& path, Folder& folder, std::string& error);

// Waits for and takes the write lock on `lockfile` that DCMTK's worklist server respects: a
// POSIX record lock on the whole file (fcntl F_SETLKW F_WRLCK), or LockFileEx on Windows.
bool lock_folder(Folder& folder, std::string& error);
void unlock_folder(Folder& folder);

// Removes the temporary files a crashed writer left behind. Call it holding the lock.
void remove_temporaries(const Folder& folder);

// What tells one state of a file from another: its modification time in nanoseconds, its
// size, and its file number (the inode on POSIX; 0 on Windows, which has none to read cheaply).
struct FileStamp {
  std::int64_t modified = 0;
  std::uint64_t size = 0;
  std::uint64_t file_number = 0;
  bool operator==(const FileStamp&) const = default;
};

// How far commit_changes got with a batch, in the batch's order. A change has reached the disk
// when the batch's record was flushed into the folder's journal and its file renamed over its
// name (or the entry removed), or, in a batch that failed after that flush, when its file and
// then the folder were flushed. The first `durable` changes reached the disk; the next `unknown`
// ones were made, or may be made again from the journal, but no flush that would cover them
// succeeded, so after a crash each may be old or new; the rest were not made, and their entries
// are as they were.
struct CommitProgress {
  std::size_t durable = 0;
  std::size_t unknown = 0;
  std::uint64_t generation = 0;  // the folder's generation the commit wrote; 0: none
};

// Runs while the commit's record is flushed, before its renames, with the stamp each new file
// will have under its entry's name (a removal's is a stamp of zeros): work on the changes, such
// as recording them in an index, costs the commit no time then. The commit may still fail
// after it; `progress` then tells what was made.
using WhileFlushing = std::function<void(const std::vector<FileStamp>& stamps)>;

// Makes `changes` durable, in their order, holding the lock (taken for the call when the
// caller does not hold it): writes their record into the journal and flushes it while it writes
// each new content to a temporary file in the folder (a name hl7mwld owns that does not end in
// ".wl"), then increments the folder's generation, renames each over its entry's name and
// removes the entries to remove (a missing one is not an error). True when every change reached
// the disk. When writing the journal or a temporary file fails, the temporaries are removed and
// the entries are as they were. When a rename or removal fails, the changes before it stay and
// are flushed, the record is withdrawn, and the failed change and those after it are not made.
// `progress` says how far the batch got, also when it returns false. A crash at any point
// leaves every entry file whole, old or new, once the folder is next opened. A name other than
// "hl7mwld-*.wl" in the folder itself refuses the whole batch before anything is written
// ("PATH: Invalid argument").
bool commit_changes(Folder& folder, const std::vector<FolderChange>& changes,
                    CommitProgress& progress, std::string& error,
                    const WhileFlushing& while_flushing = nullptr);

// Makes the entries of every commit so far durable where they are and empties the journal, so
// that a crash of the system later finds nothing to write again: how a writer ends. One that
// fails leaves that to the next; the commits are durable either way.
void checkpoint_folder(Folder& folder);

// True when the folder holds a file called `name`.
bool entry_exists(const Folder& folder, const std::string& name);

// The names of the folder's entry files that hl7mwld named ("hl7mwld-*.wl"), sorted.
bool list_entries(const Folder& folder, std::vector<std::string>& names, std::string& error);

// The names as list_entries gives them, each with its stamp.
bool list_stamped_entries(const Folder& folder, std::vector<std::string>& names,
                          std::vector<FileStamp>& stamps, std::string& error);

// The stamp of the entry file `name`, or of the folder itself for an empty name; a stamp of
// zeros when it cannot be read.
FileStamp stamp_of_entry(const Folder& folder, const std::string& name);

// hl7mwld's count of its commits to the folder, in the file `hl7mwld-generation` beside
// `lockfile`: every commit that changes an entry increments it, holding the lock, before its
// first change, so that a reader holding the lock knows from one small read whether any
// hl7mwld process changed the folder since it last looked. 0 when the file is missing; a count
// that cannot be read is a count no reader has seen.
std::uint64_t folder_generation(const Folder& folder);

// The bytes of the entry file `name`.
bool read_entry(const Folder& folder, const std::string& name, std::string& bytes,
                std::string& error);
