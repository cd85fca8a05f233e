// The worklist folder: the lock wlmscpfs respects, and changes that a crash never leaves half done.
#include "mwld/folder.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "hl7/read_chunks.h"
#include "mwld/flushers.h"
#include "mwld/folder_system.h"
#include "mwld/identity.h"
#include "mwld/journal.h"

bool errno_failure(const std::string& path, int code, std::string& error) {
  error = path + ": " + std::strerror(code);
  return false;
}

bool is_our_name(std::string_view name, std::string_view suffix) {
  return name.size() >= kNamePrefix.size() + suffix.size() && name.starts_with(kNamePrefix) &&
         name.ends_with(suffix);
}

std::string path_in(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (!path.empty() && path.back() != '/' && path.back() != kPathSeparator) {
    path += kPathSeparator;
  }
  return path.append(name);
}

namespace {

constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr std::string_view kLockName = "lockfile";
constexpr std::string_view kGenerationName = "hl7mwld-generation";

// Unique within the process run; the process id makes it unique among processes. Temporary
// files exist only while their writer holds the lock, so a crashed run's are nobody's.
std::string temporary_name() {
  static std::atomic<unsigned long> counter = 0;
  return std::string(kNamePrefix) + std::to_string(process_id()) + "-" + std::to_string(++counter) +
         std::string(kTemporarySuffix);
}

// An entry name is a plain name in the folder, never a path leading out of it (nor a Windows
// stream of another file).
bool is_entry_name(std::string_view name) {
  return is_our_name(name, kEntrySuffix) &&
         name.find_first_of(std::string_view("/\\:\0", 4)) == std::string_view::npos;
}

void remove_temporaries_from(const std::vector<std::string>& temporaries, std::size_t first) {
  std::string ignored;
  for (std::size_t i = first; i < temporaries.size(); ++i) {
    if (!temporaries[i].empty()) remove_file(temporaries[i], ignored);
  }
}

struct ScopedHandle {
  std::intptr_t value = -1;
  ~ScopedHandle() { close_handle(value); }
};

// The batch, under the lock. Its record is flushed into the journal while its files are
// written, and only then are they renamed: a crash before the flush leaves every entry as it
// was, one after it finds the record and writes again what the crash lost. A batch that fails
// after that flush withdraws its record and flushes the changes it made, as a journal-less
// commit would: each file, then the folder.
bool commit_locked(Folder& folder, const std::vector<FolderChange>& changes,
                   CommitProgress& progress, std::string& error,
                   const WhileFlushing& while_flushing) {
  JournalPlace place;
  if (!journal_append(folder, changes, folder_generation(folder), place, error)) return false;
  if (!folder.flushers) folder.flushers = std::make_unique<Flushers>(1);
  Flushers& flushers = *folder.flushers;
  std::string journal_error;
  flushers.flush([&journal = *folder.journal, &journal_error] {
    journal_flush(journal, journal_error);
  });
  std::vector<std::string> temporaries;  // by change; empty for a removal
  bool written = true;
  for (std::size_t i = 0; i < changes.size() && written; ++i) {
    temporaries.emplace_back(changes[i].bytes ? path_in(folder.path, temporary_name()) : "");
    if (changes[i].bytes) written = write_new_file(temporaries[i], *changes[i].bytes, error);
  }
  // A commit that fails from here on has counted once too often, which only makes a reader
  // look at the folder again.
  written = written && bump_generation(folder, progress.generation, error);
  if (written && while_flushing) {
    std::vector<FileStamp> stamps(changes.size());
    for (std::size_t i = 0; i < changes.size(); ++i) {
      if (changes[i].bytes) file_stamp(temporaries[i], stamps[i]);  // a rename keeps it
    }
    while_flushing(stamps);
  }
  flushers.wait();
  if (written && !journal_error.empty()) {
    error = std::move(journal_error);
    written = false;
  }
  if (!written) {
    remove_temporaries_from(temporaries, 0);
    std::string withdraw_error;
    if (!journal_withdraw(folder, place, withdraw_error)) {
      error += "; " + withdraw_error;
      progress.unknown = changes.size();
    }
    return false;
  }

  std::size_t done = 0;
  for (; done < changes.size(); ++done) {
    const std::string entry = path_in(folder.path, changes[done].name);
    if (changes[done].bytes
            ? !rename_over(temporaries[done], entry, error)
            : !remove_entry(entry, path_in(folder.path, temporary_name()), error)) {
      remove_temporaries_from(temporaries, done);
      break;
    }
  }
  const bool all_done = done == changes.size();
  if (all_done) {
    journal_committed(folder, progress.generation);
    progress.durable = done;
  } else {
    std::string flush_error;
    std::vector<std::string> made;
    for (std::size_t i = 0; i < done; ++i) made.push_back(changes[i].name);
    const bool withdrawn = journal_withdraw(folder, place, flush_error);
    const bool flushed = withdrawn && flush_entries_in_place(folder.path, made, flush_error);
    if (!flushed) error += "; " + flush_error;
    // A record not withdrawn may still make every change at the next start.
    (flushed ? progress.durable : progress.unknown) = withdrawn ? done : changes.size();
  }
  return all_done;
}

}  // namespace

// Writes the count after the folder's generation; not flushed: after a crash a reader starts
// from a full read of the folder anyway. Written over the old count rather than truncated,
// which made the file system free and allocate a block at every commit: a count never gets
// shorter, and the reader stops at the newline anyway.
bool bump_generation(const Folder& folder, std::uint64_t& generation, std::string& error) {
  const std::string path = path_in(folder.path, kGenerationName);
  const std::uint64_t next = folder_generation(folder) + 1;
  const std::string text = std::to_string(next) + "\n";
  std::FILE* file = std::fopen(path.c_str(), "r+b");
  if (!file && errno == ENOENT) file = std::fopen(path.c_str(), "wb");
  if (!file) return errno_failure(path, errno, error);
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const int code = errno;
  if (std::fclose(file) != 0 || !written) return errno_failure(path, written ? errno : code, error);
  generation = next;
  return true;
}

bool flush_entries_in_place(const std::string& folder, const std::vector<std::string>& names,
                            std::string& error) {
  for (const std::string& name : names) {
    const std::string path = path_in(folder, name);
    if (file_exists(path) && !flush_file(path, error)) return false;
  }
  ScopedHandle directory;
  return open_directory(folder, directory.value, error) &&
         flush_directory(directory.value, folder, error);
}

bool restore_entries(const Folder& folder, const std::vector<FolderChange>& changes,
                     std::string& error) {
  for (const FolderChange& change : changes) {
    if (!is_entry_name(change.name)) continue;
    const std::string entry = path_in(folder.path, change.name);
    if (!change.bytes) {
      if (!remove_file(entry, error)) return false;
      continue;
    }
    std::string now;
    if (read_file(entry, now) && now == *change.bytes) continue;
    const std::string temporary = path_in(folder.path, temporary_name());
    if (!write_new_file(temporary, *change.bytes, error) ||
        !rename_over(temporary, entry, error)) {
      std::string ignored;
      remove_file(temporary, ignored);
      return false;
    }
  }
  return true;
}

Folder::Folder() = default;

Folder::Folder(Folder&& other) noexcept
    : path(std::move(other.path)),
      lock_handle(std::exchange(other.lock_handle, -1)),
      locked(std::exchange(other.locked, false)),
      flushers(std::move(other.flushers)),
      journal(std::move(other.journal)) {}

Folder& Folder::operator=(Folder&& other) noexcept {
  if (this != &other) {
    unlock_folder(*this);
    close_handle(lock_handle);
    path = std::move(other.path);
    lock_handle = std::exchange(other.lock_handle, -1);
    locked = std::exchange(other.locked, false);
    flushers = std::move(other.flushers);
    journal = std::move(other.journal);
  }
  return *this;
}

Folder::~Folder() {
  unlock_folder(*this);
  close_handle(lock_handle);
}

bool open_folder(const std::string& path, Folder& folder, std::string& error) {
  Folder opened;
  opened.path = path;
  if (!check_folder(path, error)) return false;
  if (!open_shared_file(path_in(path, kLockName), opened.lock_handle, error)) return false;
  folder = std::move(opened);
  return true;
}

bool open_folder_and_clean_up(const std::string& path, Folder& folder, std::string& error) {
  if (!open_folder(path, folder, error) || !lock_folder(folder, error)) return false;
  remove_temporaries(folder);
  const bool recovered = recover_journal(folder, error);
  unlock_folder(folder);
  return recovered;
}

bool lock_folder(Folder& folder, std::string& error) {
  if (!lock_file(folder.lock_handle, path_in(folder.path, kLockName), error)) return false;
  folder.locked = true;
  return true;
}

void unlock_folder(Folder& folder) {
  if (!folder.locked) return;
  unlock_file(folder.lock_handle);
  folder.locked = false;
}

void remove_temporaries(const Folder& folder) {
  std::vector<std::string> names;
  std::string ignored;
  list_files(folder.path, kTemporarySuffix, names, ignored);
  for (const std::string& name : names) remove_file(path_in(folder.path, name), ignored);
}

bool commit_changes(Folder& folder, const std::vector<FolderChange>& changes,
                    CommitProgress& progress, std::string& error,
                    const WhileFlushing& while_flushing) {
  progress = {};
  for (const FolderChange& change : changes) {
    if (!is_entry_name(change.name)) {
      return errno_failure(path_in(folder.path, change.name), EINVAL, error);
    }
  }
  if (changes.empty()) return true;
  const bool locked_here = !folder.locked;
  if (locked_here && !lock_folder(folder, error)) return false;
  const bool committed = commit_locked(folder, changes, progress, error, while_flushing);
  if (locked_here) unlock_folder(folder);
  return committed;
}

void checkpoint_folder(Folder& folder) {
  if (!folder.journal) return;
  std::string ignored;
  const bool locked_here = !folder.locked;
  if (locked_here && !lock_folder(folder, ignored)) return;
  checkpoint_journal(folder, ignored);
  if (locked_here) unlock_folder(folder);
}

bool entry_exists(const Folder& folder, const std::string& name) {
  return file_exists(path_in(folder.path, name));
}

bool list_entries(const Folder& folder, std::vector<std::string>& names, std::string& error) {
  names.clear();
  if (!list_files(folder.path, kEntrySuffix, names, error)) return false;
  std::sort(names.begin(), names.end());
  return true;
}

// The C runtime opens the ANSI path on Windows too, and reports errno on both.
bool read_entry(const Folder& folder, const std::string& name, std::string& bytes,
                std::string& error) {
  const std::string path = path_in(folder.path, name);
  bytes.clear();
  return read_file(path, bytes) || errno_failure(path, errno, error);
}

bool list_stamped_entries(const Folder& folder, std::vector<std::string>& names,
                          std::vector<FileStamp>& stamps, std::string& error) {
  names.clear();
  stamps.clear();
  return list_files(folder.path, kEntrySuffix, names, error, &stamps);
}

FileStamp stamp_of_entry(const Folder& folder, const std::string& name) {
  FileStamp stamp;
  file_stamp(name.empty() ? folder.path : path_in(folder.path, name), stamp);
  return stamp;
}

std::uint64_t folder_generation(const Folder& folder) {
  std::string text;
  if (!read_file(path_in(folder.path, kGenerationName), text)) return 0;
  std::uint64_t count = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') break;
    count = count * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return count;
}
