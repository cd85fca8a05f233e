// The worklist folder's file system calls on Windows.
#include <windows.h>

#include <algorithm>
#include <cerrno>

#include "mwld/folder_system.h"

namespace {

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

// Windows has no inode number to see a file replaced within one tick of its time; the time
// counts in steps of 100 ns.
FileStamp stamp_of(const FILETIME& written, DWORD size_high, DWORD size_low) {
  const auto time =
      (static_cast<std::uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
  return {static_cast<std::int64_t>(time) * 100,
          (static_cast<std::uint64_t>(size_high) << 32) | size_low, 0};
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

}  // namespace

const char kPathSeparator = '\\';

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

bool open_shared_file(const std::string& path, std::intptr_t& handle, std::string& error) {
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
                std::string& error, std::vector<FileStamp>* stamps) {
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(wide(path_in(folder, "*")).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return system_failure(folder, error);
  constexpr DWORD kNotPlain =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  do {
    std::string name = narrow(found.cFileName);
    if ((found.dwFileAttributes & kNotPlain) == 0 && is_our_name(name, suffix)) {
      names.push_back(std::move(name));
      if (stamps) {
        stamps->push_back(stamp_of(found.ftLastWriteTime, found.nFileSizeHigh, found.nFileSizeLow));
      }
    }
  } while (FindNextFileW(search, &found));
  const DWORD code = GetLastError();
  FindClose(search);
  return code == ERROR_NO_MORE_FILES || system_failure(folder, error, code);
}

bool file_stamp(const std::string& path, FileStamp& stamp) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data)) return false;
  stamp = stamp_of(data.ftLastWriteTime, data.nFileSizeHigh, data.nFileSizeLow);
  return true;
}

bool read_at(std::intptr_t handle, std::uint64_t offset, std::size_t size, std::string& bytes,
             const std::string& path, std::string& error) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  bytes.resize(size);
  DWORD got = 0;
  if (!ReadFile(handle_of(handle), bytes.data(), static_cast<DWORD>(size), &got, &at) &&
      GetLastError() != ERROR_HANDLE_EOF) {
    return system_failure(path, error);
  }
  bytes.resize(got);
  return true;
}

bool write_at(std::intptr_t handle, std::uint64_t offset, std::string_view bytes,
              const std::string& path, std::string& error) {
  while (!bytes.empty()) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 30));
    DWORD written = 0;
    if (!WriteFile(handle_of(handle), bytes.data(), size, &written, &at)) {
      return system_failure(path, error);
    }
    bytes.remove_prefix(written);
    offset += written;
  }
  return true;
}

bool flush_data(std::intptr_t handle, const std::string& path, std::string& error) {
  return FlushFileBuffers(handle_of(handle)) || system_failure(path, error);
}

// Each file was flushed as it was written and each rename written through.
bool flush_file_system(const std::string&, std::string&) { return true; }

// The files are on the disk once renamed: whatever started since, a replay finds them whole.
std::string system_start() { return "Windows"; }
