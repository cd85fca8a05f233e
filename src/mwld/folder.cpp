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
#include "mwld/identity.h"

namespace {

constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr std::string_view kLockName = "lockfile";

bool errno_failure(const std::string& path, int code, std::string& error) {
  error = path + ": " + std::strerror(code);
  return false;
}

// True for "hl7mwld-*" + `suffix`: the only names hl7mwld creates, replaces or removes.
bool is_our_name(std::string_view name, std::string_view suffix) {
  return name.size() >= kNamePrefix.size() + suffix.size() && name.starts_with(kNamePrefix) &&
         name.ends_with(suffix);
}

// `name` in `folder`, joined by the platform's separator.
std::string path_in(const std::string& folder, std::string_view name);

}  // namespace

// Everything that differs between POSIX and Windows, each side giving the same functions.
// Handles are descriptors or HANDLEs held in a std::intptr_t; -1 is none on both.
#ifdef _WIN32
#include <windows.h>

namespace {

constexpr char kSeparator = '\\';

// Paths arrive in the ANSI code page, as the C runtime and the command line give them.
std::wstring wide(const std::string& text) {
  const int size = static_cast<int>(text.size());
  std::wstring converted(MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), size, converted.data(),
                      static_cast<int>(converted.size()));
  return converted;
}

// Empty when the name has no spelling in the ANSI code page, so no caller could name it.
std::string narrow(const wchar_t* text) {
  BOOL lossy = FALSE;
  const int size =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, nullptr, 0, nullptr, &lossy);
  if (size <= 1 || lossy) return {};
  std::string converted(size, '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, converted.data(), size, nullptr,
                      nullptr);
  converted.resize(size - 1);
  return converted;
}

// The C runtime's words for the errors a folder meets, so that both builds say the same; the
// system's own text for the rest.
bool system_failure(const std::string& path, std::string& error, DWORD code = GetLastError()) {
  struct Mapped {
    DWORD code;
    int error_number;
  };
  constexpr Mapped kErrorNumbers[] = {
      {ERROR_FILE_NOT_FOUND, ENOENT},      {ERROR_PATH_NOT_FOUND, ENOENT},
      {ERROR_ACCESS_DENIED, EACCES},       {ERROR_SHARING_VIOLATION, EACCES},
      {ERROR_LOCK_VIOLATION, EACCES},      {ERROR_WRITE_PROTECT, EROFS},
      {ERROR_DISK_FULL, ENOSPC},           {ERROR_HANDLE_DISK_FULL, ENOSPC},
      {ERROR_FILE_EXISTS, EEXIST},         {ERROR_ALREADY_EXISTS, EEXIST},
      {ERROR_DIRECTORY, ENOTDIR},          {ERROR_INVALID_NAME, EINVAL},
      {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
  };
  for (const Mapped& mapped : kErrorNumbers) {
    if (mapped.code == code) return errno_failure(path, mapped.error_number, error);
  }
  std::string text(512, '\0');
  const DWORD size =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                     text.data(), static_cast<DWORD>(text.size()), nullptr);
  text.resize(size);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.empty()) text = "system error " + std::to_string(code);
  error = path + ": " + text;
  return false;
}

HANDLE handle_of(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

unsigned long process_id() { return GetCurrentProcessId(); }

// A missing folder gets the C runtime's words, as in the POSIX build. Whether the folder may
// be written is for its access list to say, which opening lockfile for writing then asks.
bool check_folder(const std::string& path, std::string& error) {
  const DWORD attributes = GetFileAttributesW(wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      return errno_failure(path, ENOENT, error);
    }
    return system_failure(path, error, code);
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return errno_failure(path, ENOTDIR, error);
  return true;
}

bool open_lock_file(const std::string& path, std::intptr_t& handle, std::string& error) {
  const HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return system_failure(path, error);
  handle = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool lock_file(std::intptr_t handle, const std::string& path, std::string& error) {
  OVERLAPPED start = {};
  if (!LockFileEx(handle_of(handle), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &start)) {
    return system_failure(path, error);
  }
  return true;
}

void unlock_file(std::intptr_t handle) {
  OVERLAPPED start = {};
  UnlockFileEx(handle_of(handle), 0, MAXDWORD, MAXDWORD, &start);
}

void close_handle(std::intptr_t handle) {
  if (handle != -1) CloseHandle(handle_of(handle));
}

// Windows cannot flush a folder: the renames are written through instead (rename_over).
bool open_directory(const std::string&, std::intptr_t& handle, std::string&) {
  handle = -1;
  return true;
}
bool flush_directory(std::intptr_t, const std::string&, std::string&) { return true; }

// Each temporary file is flushed as it is written.
bool flush_file(const std::string&, std::string&) { return true; }

bool write_new_file(const std::string& path, std::string_view bytes, std::string& error) {
  const std::wstring name = wide(path);
  HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
    // Left by a crashed run that had the same process id: under the lock it is nobody's.
    DeleteFileW(name.c_str());
    file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) return system_failure(path, error);
  while (!bytes.empty()) {
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 30));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), size, &written, nullptr)) {
      const DWORD code = GetLastError();
      CloseHandle(file);
      return system_failure(path, error, code);
    }
    bytes.remove_prefix(written);
  }
  if (!FlushFileBuffers(file)) {
    const DWORD code = GetLastError();
    CloseHandle(file);
    return system_failure(path, error, code);
  }
  if (!CloseHandle(file)) return system_failure(path, error);
  return true;
}

bool rename_over(const std::string& from, const std::string& to, std::string& error) {
  if (!MoveFileExW(wide(from).c_str(), wide(to).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return system_failure(to, error);
  }
  return true;
}

bool remove_file(const std::string& path, std::string& error) {
  if (DeleteFileW(wide(path).c_str())) return true;
  const DWORD code = GetLastError();
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;
  return system_failure(path, error, code);
}

// A deletion is not written through, and a folder cannot be flushed: the entry is first moved
// to a temporary name, written through, so that after a crash it is a temporary file that the
// next start removes, never an entry that comes back. Once moved, the entry is gone for good:
// a temporary that cannot be deleted now is left to the next start.
bool remove_entry(const std::string& path, const std::string& temporary, std::string& error) {
  if (!MoveFileExW(wide(path).c_str(), wide(temporary).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;
    return system_failure(path, error, code);
  }
  std::string ignored;
  remove_file(temporary, ignored);
  return true;
}

bool file_exists(const std::string& path) {
  return GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The plain files in `folder` whose names are "hl7mwld-*" + `suffix`.
bool list_files(const std::string& folder, std::string_view suffix, std::vector<std::string>& names,
                std::string& error) {
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(wide(path_in(folder, "*")).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return system_failure(folder, error);
  constexpr DWORD kNotPlain =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  do {
    std::string name = narrow(found.cFileName);
    if ((found.dwFileAttributes & kNotPlain) == 0 && is_our_name(name, suffix)) {
      names.push_back(std::move(name));
    }
  } while (FindNextFileW(search, &found));
  const DWORD code = GetLastError();
  FindClose(search);
  return code == ERROR_NO_MORE_FILES || system_failure(folder, error, code);
}

}  // namespace

#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kSeparator = '/';
// Group members may lock too: a worklist server often runs as another user of the group.
constexpr mode_t kLockMode = 0664;

bool system_failure(const std::string& path, std::string& error) {
  return errno_failure(path, errno, error);
}

unsigned long process_id() { return static_cast<unsigned long>(getpid()); }

bool check_folder(const std::string& path, std::string& error) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return system_failure(path, error);
  if (!S_ISDIR(status.st_mode)) return errno_failure(path, ENOTDIR, error);
  if (access(path.c_str(), W_OK | X_OK) != 0) return system_failure(path, error);
  return true;
}

// An existing lockfile keeps its mode: the site may have chosen it for its server.
bool open_lock_file(const std::string& path, std::intptr_t& handle, std::string& error) {
  int file = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (file < 0 && errno == ENOENT) {
    file = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kLockMode);
    if (file >= 0 && fchmod(file, kLockMode) != 0) {
      const int code = errno;
      close(file);
      return errno_failure(path, code, error);
    }
    if (file < 0 && errno == EEXIST) file = open(path.c_str(), O_RDWR | O_CLOEXEC);
  }
  if (file < 0) return system_failure(path, error);
  handle = file;
  return true;
}

bool set_lock(std::intptr_t handle, short type, int command) {
  struct flock whole = {};
  whole.l_type = type;
  whole.l_whence = SEEK_SET;  // l_start 0 and l_len 0: the whole file, however long it grows
  int result;
  do {
    result = fcntl(static_cast<int>(handle), command, &whole);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool lock_file(std::intptr_t handle, const std::string& path, std::string& error) {
  return set_lock(handle, F_WRLCK, F_SETLKW) || system_failure(path, error);
}

void unlock_file(std::intptr_t handle) { set_lock(handle, F_UNLCK, F_SETLK); }

void close_handle(std::intptr_t handle) {
  if (handle != -1) close(static_cast<int>(handle));
}

bool open_directory(const std::string& path, std::intptr_t& handle, std::string& error) {
  const int directory = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return system_failure(path, error);
  handle = directory;
  return true;
}

bool flush_directory(std::intptr_t directory, const std::string& path, std::string& error) {
  return fsync(static_cast<int>(directory)) == 0 || system_failure(path, error);
}

// Each temporary file goes to the disk's queue as soon as it is written (sync_file_range) and
// is flushed with an fsync of its own once all are written, so the disk writes them together
// and a commit waits for its own files only. One syncfs of the whole file system was a little
// faster on a quiet disk (3.3 against 3.9 ms for 8 files of 1 kB) but waits for every other
// program's data as well: behind another program's 3 GB write it held commits for 1.2 s.
bool write_new_file(const std::string& path, std::string_view bytes, std::string& error) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int file = open(path.c_str(), kFlags, 0666);
  if (file < 0 && errno == EEXIST) {
    // Left by a crashed run that had the same process id: under the lock it is nobody's.
    unlink(path.c_str());
    file = open(path.c_str(), kFlags, 0666);
  }
  if (file < 0) return system_failure(path, error);
  while (!bytes.empty()) {
    const ssize_t written = write(file, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) {
      const int code = errno;
      close(file);
      return errno_failure(path, code, error);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  // A failure here only loses the head start: the fsync that follows reports write errors.
  sync_file_range(file, 0, 0, SYNC_FILE_RANGE_WRITE);
  return close(file) == 0 || system_failure(path, error);
}

// An fsync through a new descriptor reports write-back errors not yet reported to anyone.
bool flush_file(const std::string& path, std::string& error) {
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) return system_failure(path, error);
  if (fsync(file) != 0) {
    const int code = errno;
    close(file);
    return errno_failure(path, code, error);
  }
  return close(file) == 0 || system_failure(path, error);
}

bool rename_over(const std::string& from, const std::string& to, std::string& error) {
  return rename(from.c_str(), to.c_str()) == 0 || system_failure(to, error);
}

bool remove_file(const std::string& path, std::string& error) {
  return unlink(path.c_str()) == 0 || errno == ENOENT || system_failure(path, error);
}

// The folder flush after the batch makes the unlink durable.
bool remove_entry(const std::string& path, const std::string&, std::string& error) {
  return remove_file(path, error);
}

bool file_exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

// The regular files in `folder` whose names are "hl7mwld-*" + `suffix`; links are not ours.
bool list_files(const std::string& folder, std::string_view suffix, std::vector<std::string>& names,
                std::string& error) {
  DIR* const directory = opendir(folder.c_str());
  if (directory == nullptr) return system_failure(folder, error);
  errno = 0;
  while (const dirent* found = readdir(directory)) {
    struct stat status;
    if (is_our_name(found->d_name, suffix) &&
        fstatat(dirfd(directory), found->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode)) {
      names.emplace_back(found->d_name);
    }
    errno = 0;
  }
  const int code = errno;
  closedir(directory);
  return code == 0 || errno_failure(folder, code, error);
}

}  // namespace

#endif

namespace {

std::string path_in(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (!path.empty() && path.back() != '/' && path.back() != kSeparator) path += kSeparator;
  return path.append(name);
}

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

// The batch, under the lock. Every new content is on the disk before any rename names it,
// and the folder is flushed once, after the last rename or removal, or after the one that
// failed: the renames before it stay, and the flush makes them durable.
bool commit_locked(const Folder& folder, const std::vector<FolderChange>& changes,
                   CommitProgress& progress, std::string& error) {
  progress = {};
  for (const FolderChange& change : changes) {
    if (!is_entry_name(change.name)) {
      return errno_failure(path_in(folder.path, change.name), EINVAL, error);
    }
  }
  if (changes.empty()) return true;
  ScopedHandle directory;
  if (!open_directory(folder.path, directory.value, error)) return false;

  std::vector<std::string> temporaries;  // by change; empty for a removal
  temporaries.reserve(changes.size());
  for (const FolderChange& change : changes) {
    temporaries.emplace_back(change.bytes ? path_in(folder.path, temporary_name()) : "");
    if (change.bytes && !write_new_file(temporaries.back(), *change.bytes, error)) {
      remove_temporaries_from(temporaries, 0);
      return false;
    }
  }
  for (const std::string& temporary : temporaries) {
    if (!temporary.empty() && !flush_file(temporary, error)) {
      remove_temporaries_from(temporaries, 0);
      return false;
    }
  }

  std::size_t done = 0;
  for (; done < changes.size(); ++done) {
    const std::string entry = path_in(folder.path, changes[done].name);
    if (changes[done].bytes ? !rename_over(temporaries[done], entry, error)
                            : !remove_entry(entry, path_in(folder.path, temporary_name()), error)) {
      remove_temporaries_from(temporaries, done);
      break;
    }
  }
  // After a failed change the error names it; a failed flush is added to it.
  std::string flush_error;
  const bool flushed =
      flush_directory(directory.value, folder.path, done == changes.size() ? error : flush_error);
  if (!flush_error.empty()) error += "; " + flush_error;
  (flushed ? progress.durable : progress.unknown) = done;
  return flushed && done == changes.size();
}

}  // namespace

Folder::Folder(Folder&& other) noexcept
    : path(std::move(other.path)),
      lock_handle(std::exchange(other.lock_handle, -1)),
      locked(std::exchange(other.locked, false)) {}

Folder& Folder::operator=(Folder&& other) noexcept {
  if (this != &other) {
    unlock_folder(*this);
    close_handle(lock_handle);
    path = std::move(other.path);
    lock_handle = std::exchange(other.lock_handle, -1);
    locked = std::exchange(other.locked, false);
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
  if (!open_lock_file(path_in(path, kLockName), opened.lock_handle, error)) return false;
  folder = std::move(opened);
  return true;
}

bool open_folder_and_clean_up(const std::string& path, Folder& folder, std::string& error) {
  if (!open_folder(path, folder, error) || !lock_folder(folder, error)) return false;
  remove_temporaries(folder);
  unlock_folder(folder);
  return true;
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
                    CommitProgress& progress, std::string& error) {
  progress = {};
  if (folder.locked) return commit_locked(folder, changes, progress, error);
  if (!lock_folder(folder, error)) return false;
  const bool committed = commit_locked(folder, changes, progress, error);
  unlock_folder(folder);
  return committed;
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
