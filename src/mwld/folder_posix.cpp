// The worklist folder's file system calls on POSIX.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "mwld/folder_system.h"

namespace {

// Group members may lock and write too: a worklist server or another writer often runs as
// another user of the group.
constexpr mode_t kSharedMode = 0664;

bool system_failure(const std::string& path, std::string& error) {
  return errno_failure(path, errno, error);
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

// A file is replaced by renaming a new one over it, so its inode number changes with its content
// even where its time does not.
FileStamp stamp_of(const struct stat& status) {
  return {static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec,
          static_cast<std::uint64_t>(status.st_size), static_cast<std::uint64_t>(status.st_ino)};
}

}  // namespace

const char kPathSeparator = '/';

unsigned long process_id() { return static_cast<unsigned long>(getpid()); }

bool check_folder(const std::string& path, std::string& error) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return system_failure(path, error);
  if (!S_ISDIR(status.st_mode)) return errno_failure(path, ENOTDIR, error);
  if (access(path.c_str(), W_OK | X_OK) != 0) return system_failure(path, error);
  return true;
}

// An existing file keeps its mode: the site may have chosen it for its server.
bool open_shared_file(const std::string& path, std::intptr_t& handle, std::string& error) {
  int file = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (file < 0 && errno == ENOENT) {
    file = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kSharedMode);
    if (file >= 0 && fchmod(file, kSharedMode) != 0) {
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

// Not flushed: the commit's record in the journal holds the content until a checkpoint's one
// flush of the file system (flush_file_system) covers the file. An fsync of each file, even
// with 16 in flight at once, held serve to 0.6 of what the disk allows.
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

// The journal's record, then a checkpoint, make the unlink durable.
bool remove_entry(const std::string& path, const std::string&, std::string& error) {
  return remove_file(path, error);
}

bool file_exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

// The regular files in `folder` whose names are "hl7mwld-*" + `suffix`; links are not ours.
bool list_files(const std::string& folder, std::string_view suffix, std::vector<std::string>& names,
                std::string& error, std::vector<FileStamp>* stamps) {
  DIR* const directory = opendir(folder.c_str());
  if (directory == nullptr) return system_failure(folder, error);
  errno = 0;
  while (const dirent* found = readdir(directory)) {
    struct stat status;
    if (is_our_name(found->d_name, suffix) &&
        fstatat(dirfd(directory), found->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode)) {
      names.emplace_back(found->d_name);
      if (stamps) stamps->push_back(stamp_of(status));
    }
    errno = 0;
  }
  const int code = errno;
  closedir(directory);
  return code == 0 || errno_failure(folder, code, error);
}

bool file_stamp(const std::string& path, FileStamp& stamp) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return false;
  stamp = stamp_of(status);
  return true;
}

bool read_at(std::intptr_t handle, std::uint64_t offset, std::size_t size, std::string& bytes,
             const std::string& path, std::string& error) {
  bytes.resize(size);
  ssize_t got;
  do {
    got = pread(static_cast<int>(handle), bytes.data(), size, static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  if (got < 0) return system_failure(path, error);
  bytes.resize(static_cast<std::size_t>(got));
  return true;
}

bool write_at(std::intptr_t handle, std::uint64_t offset, std::string_view bytes,
              const std::string& path, std::string& error) {
  while (!bytes.empty()) {
    const ssize_t written =
        pwrite(static_cast<int>(handle), bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return system_failure(path, error);
    bytes.remove_prefix(static_cast<std::size_t>(written));
    offset += static_cast<std::uint64_t>(written);
  }
  return true;
}

bool flush_data(std::intptr_t handle, const std::string& path, std::string& error) {
  return fdatasync(static_cast<int>(handle)) == 0 || system_failure(path, error);
}

// One syncfs writes the file system's dirty files back together, where an fsync each would
// cost as many commits of its own journal.
bool flush_file_system(const std::string& folder, std::string& error) {
  const int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return system_failure(folder, error);
  const bool flushed = syncfs(directory) == 0;
  const int code = errno;
  close(directory);
  return flushed || errno_failure(folder, code, error);
}

// Linux names each start of the system; elsewhere each process counts as a start of its own,
// which only makes a replay write entries that were already whole.
std::string system_start() {
  static const std::string name = [] {
    char text[64] = {};
    const int file = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    const ssize_t got = file < 0 ? -1 : read(file, text, sizeof text);
    if (file >= 0) close(file);
    if (got > 0) return std::string(text, static_cast<std::size_t>(got));
    return "process " + std::to_string(getpid()) + " " + std::to_string(std::random_device{}());
  }();
  return name;
}
