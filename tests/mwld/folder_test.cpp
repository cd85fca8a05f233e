// The worklist folder: batches of changes, the site's own files, open errors, the lock, a full
// disk. Every test works in a real folder of its own.
#include "mwld/folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "temp_folder.h"

namespace {

namespace fs = std::filesystem;
using Contents = std::map<std::string, std::string>;

#ifdef _WIN32
// 1 when a second handle of `lockfile` can take the write lock now, 0 when it is refused.
int other_could_lock(const std::string& lockfile) {
  const HANDLE file = CreateFileA(lockfile.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  OVERLAPPED start = {};
  int result = -1;
  if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                 &start)) {
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &start);
    result = 1;
  } else if (GetLastError() == ERROR_LOCK_VIOLATION) {
    result = 0;
  }
  CloseHandle(file);
  return result;
}
#else
// 1 when another process can take the write lock on `lockfile` now, 0 when it is refused.
int other_could_lock(const std::string& lockfile) {
  const pid_t child = fork();
  if (child == 0) {
    const int file = open(lockfile.c_str(), O_RDWR);
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (file >= 0 && fcntl(file, F_SETLK, &whole) == 0) _exit(1);
    _exit(errno == EAGAIN || errno == EACCES ? 0 : 2);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status) == 2 ? -1 : WEXITSTATUS(status);
}
#endif

// The names of `files`, sorted: what list_entries gives for a folder of just these entries.
std::vector<std::string> entry_names(const Contents& files) {
  std::vector<std::string> names;
  for (const auto& [name, bytes] : files) names.push_back(name);
  return names;
}

TEST(CommitChanges, LeavesExactlyTheNewEntries) {
  const std::string binary("\0\r\n\x1a\xff", 5);  // no line-end or end-of-file translation
  const Contents before = {{"hl7mwld-a.wl", "old a"}, {"hl7mwld-b.wl", "old b"}};
  struct Case {
    std::string label;
    std::vector<FolderChange> changes;
    Contents after;
    std::string generation = "";  // the count of earlier commits; none when empty
    std::uint64_t next_generation = 1;
  };
  // clang-format off
  const Case cases[] = {
      {"one new file", {{"hl7mwld-c.wl", "c"}},
       {{"hl7mwld-a.wl", "old a"}, {"hl7mwld-b.wl", "old b"}, {"hl7mwld-c.wl", "c"}}},
      {"after 99 commits", {{"hl7mwld-c.wl", "c"}},
       {{"hl7mwld-a.wl", "old a"}, {"hl7mwld-b.wl", "old b"}, {"hl7mwld-c.wl", "c"}}, "99\n", 100},
      {"one removal", {{"hl7mwld-a.wl", std::nullopt}}, {{"hl7mwld-b.wl", "old b"}}},
      {"a batch, in order",
       {{"hl7mwld-a.wl", "new a"}, {"hl7mwld-b.wl", std::nullopt},
        {"hl7mwld-missing.wl", std::nullopt}, {"hl7mwld-c.wl", binary}, {"hl7mwld-empty.wl", ""},
        {"hl7mwld-d.wl", "first d"}, {"hl7mwld-d.wl", "second d"},
        {"hl7mwld-e.wl", "e"}, {"hl7mwld-e.wl", std::nullopt}},
       {{"hl7mwld-a.wl", "new a"}, {"hl7mwld-c.wl", binary}, {"hl7mwld-empty.wl", ""},
        {"hl7mwld-d.wl", "second d"}}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempFolder dir;
    for (const auto& [name, bytes] : before) write_file(dir / name, bytes);
    if (!c.generation.empty()) write_file(dir / "hl7mwld-generation", c.generation);
    Folder folder;
    std::string error;
    ASSERT_TRUE(open_folder(dir.path, folder, error)) << error;
    ASSERT_TRUE(lock_folder(folder, error)) << error;
    CommitProgress progress;
    EXPECT_TRUE(commit_changes(folder, c.changes, progress, error)) << error;
    EXPECT_EQ(progress.durable, c.changes.size());
    EXPECT_EQ(progress.generation, c.next_generation);

    Contents expected = c.after;
    expected["lockfile"] = "";
    // One commit more: the count a reader sees change.
    expected["hl7mwld-generation"] = std::to_string(c.next_generation) + "\n";
    EXPECT_EQ(contents(dir.path), expected);
    std::vector<std::string> names;
    EXPECT_TRUE(list_entries(folder, names, error)) << error;
    EXPECT_EQ(names, entry_names(c.after));
    for (const auto& [name, bytes] : c.after) {
      std::string read;
      EXPECT_TRUE(read_entry(folder, name, read, error) && entry_exists(folder, name)) << error;
      EXPECT_EQ(read, bytes);
    }
    std::string read;
    EXPECT_FALSE(read_entry(folder, "hl7mwld-missing.wl", read, error));
    EXPECT_EQ(error, dir / "hl7mwld-missing.wl" + ": " + std::strerror(ENOENT));
    EXPECT_FALSE(entry_exists(folder, "hl7mwld-missing.wl"));
  }
}

// Site files, stale temporaries (removed) and entries, each holding its own name as bytes.
// What a commit's WhileFlushing is told before the renames: the stamp each entry has after
// them (zeros for a removal); and the generations the commits count.
TEST(CommitChanges, TellsTheNewFilesStamps) {
  TempFolder dir;
  Folder folder;
  std::string error;
  ASSERT_TRUE(open_folder(dir.path, folder, error)) << error;
  const std::vector<std::vector<FolderChange>> batches = {
      {{"hl7mwld-a.wl", "first a"}, {"hl7mwld-b.wl", "b"}},
      {{"hl7mwld-a.wl", "second a"}, {"hl7mwld-b.wl", std::nullopt}, {"hl7mwld-c.wl", "c"}}};
  for (std::size_t i = 0; i < batches.size(); ++i) {
    std::vector<FileStamp> told;
    CommitProgress progress;
    EXPECT_TRUE(commit_changes(folder, batches[i], progress, error,
                               [&](const std::vector<FileStamp>& stamps) { told = stamps; }))
        << error;
    EXPECT_EQ(progress.durable, batches[i].size());
    EXPECT_EQ(progress.generation, i + 1);
    ASSERT_EQ(told.size(), batches[i].size());
    for (std::size_t j = 0; j < told.size(); ++j) {
      EXPECT_EQ(told[j], batches[i][j].bytes ? stamp_of_entry(folder, batches[i][j].name)
                                             : FileStamp{});
    }
  }
  const Contents expected = {{"lockfile", ""},
                             {"hl7mwld-generation", "2\n"},
                             {"hl7mwld-a.wl", "second a"},
                             {"hl7mwld-c.wl", "c"}};
  EXPECT_EQ(contents(dir.path), expected);
}

// Marks the journal's records in `folder` as written before the system last started, as after
// a crash of the system, reading them as its format is documented: from byte 4096, a 4-byte
// magic and payload length, then the 8-byte sequence, cache identity and FNV-1a checksum of the
// 20 bytes after the magic and the payload. `tear` spoils the last record's payload too.
void restart_system(const std::string& folder, bool tear) {
  const std::string path = folder + "/hl7mwld-journal";
  std::string bytes = file_bytes(path);
  const auto number = [&](std::size_t at, int size) {
    std::uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
  };
  std::size_t last = 0;
  for (std::size_t at = 4096; at + 32 <= bytes.size() && number(at, 4) == 0x4a52574c;
       at += 32 + number(at + 4, 4)) {
    bytes[at + 16] ^= 1;
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : bytes.substr(at + 4, 20) + bytes.substr(at + 32, number(at + 4, 4))) {
      hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    for (int i = 0; i < 8; ++i) bytes[at + 24 + i] = static_cast<char>(hash >> (8 * i));
    last = at;
  }
  if (tear) bytes[last + 40] ^= 1;
  write_file(path, bytes);
}

// Writers commit without a checkpoint at their end, as crashed processes leave the folder;
// the entries are then as the crash left them, and the next open must bring back those the
// journal holds, whoever wrote them.
TEST(Journal, TheNextOpenBringsBackWhatACrashLost) {
  struct Step {
    int writer;  // 0 or 1: two processes' folders; a writer's first step opens it
    std::vector<FolderChange> changes;  // none: the writer's checkpoint
  };
  struct Case {
    const char* label;
    std::vector<Step> steps;
    bool system_restarted;  // or only the processes ended
    bool torn;              // the last record half written
    Contents at_crash;      // the entries the crash left
    Contents after;         // and those the next open leaves
  };
  const Contents old_b = {{"hl7mwld-b.wl", "old b"}};
  const auto thirty_mib = [](char c) { return std::string(30 << 20, c); };
  // clang-format off
  const std::vector<Case> cases = {
      {"files lost with the cache are written again",
       {{0, {{"hl7mwld-a.wl", "new a"}, {"hl7mwld-b.wl", std::nullopt}}}},
       true, false, {{"hl7mwld-a.wl", ""}, {"hl7mwld-b.wl", "old b"}}, {{"hl7mwld-a.wl", "new a"}}},
      {"two writers' records in the order they were made",
       {{0, {{"hl7mwld-a.wl", "1"}}}, {1, {{"hl7mwld-a.wl", "2"}, {"hl7mwld-c.wl", "c"}}},
        {0, {{"hl7mwld-c.wl", std::nullopt}, {"hl7mwld-b.wl", "new b"}}}},
       true, false, {}, {{"hl7mwld-a.wl", "2"}, {"hl7mwld-b.wl", "new b"}}},
      {"a torn record was never answered",
       {{0, {{"hl7mwld-a.wl", "a"}}}, {0, {{"hl7mwld-a.wl", "torn"}}}},
       true, true, {}, {{"hl7mwld-a.wl", "a"}}},
      {"same start of the system: the files are as written",
       {{0, {{"hl7mwld-a.wl", "a"}}}},
       false, false, {{"hl7mwld-a.wl", "changed since"}}, {{"hl7mwld-a.wl", "changed since"}}},
      {"records a checkpoint freed are not written again",
       {{0, {{"hl7mwld-a.wl", "a"}}}, {0, {}}},
       true, false, old_b, old_b},
      // The journal holds 64 MiB: the third record does not fit, the first two are freed and
      // it goes to the journal's start, the fourth after it. Records this large start
      // checkpoints of their own as well, so only the last one is sure not to be freed.
      {"records past the journal's end go on at its start",
       {{0, {{"hl7mwld-a.wl", thirty_mib('1')}}}, {0, {{"hl7mwld-b.wl", thirty_mib('2')}}},
        {0, {{"hl7mwld-c.wl", thirty_mib('3')}}}, {0, {{"hl7mwld-a.wl", "4"}}}},
       true, false, {{"hl7mwld-b.wl", thirty_mib('2')}, {"hl7mwld-c.wl", thirty_mib('3')}},
       {{"hl7mwld-a.wl", "4"}, {"hl7mwld-b.wl", thirty_mib('2')}, {"hl7mwld-c.wl", thirty_mib('3')}}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempFolder dir;
    write_file(dir / "hl7mwld-b.wl", "old b");
    {
      Folder writers[2];
      std::string error;
      for (const Step& step : c.steps) {
        Folder& folder = writers[step.writer];
        if (folder.path.empty()) {
          ASSERT_TRUE(open_folder_and_clean_up(dir.path, folder, error)) << error;
        }
        CommitProgress progress;
        if (step.changes.empty()) {
          checkpoint_folder(folder);
        } else {
          EXPECT_TRUE(commit_changes(folder, step.changes, progress, error)) << error;
        }
      }
    }
    if (c.system_restarted) restart_system(dir.path, c.torn);
    for (const auto& [name, bytes] : contents(dir.path)) {
      if (name.ends_with(".wl")) fs::remove(dir / name);
    }
    for (const auto& [name, bytes] : c.at_crash) write_file(dir / name, bytes);

    Folder folder;
    std::string error;
    ASSERT_TRUE(open_folder_and_clean_up(dir.path, folder, error)) << error;
    Contents found = contents(dir.path);
    found.erase("lockfile");
    found.erase("hl7mwld-generation");
    EXPECT_EQ(found, c.after);
  }
}

TEST(Folder, LeavesTheSiteFilesAlone) {
  const std::vector<std::string> folders = {"sub", "hl7mwld-folder.wl", "hl7mwld-folder.tmp"};
  const std::vector<std::string> site_files = {
      "site.wl",       "hl7mwld-x.txt",        "hl7mwld-x.wl.bak",   "HL7MWLD-upper.wl",
      "other-1-1.tmp", "sub/hl7mwld-inner.wl", "sub/hl7mwld-1-1.tmp"};
  const std::vector<std::string> stale = {"hl7mwld-1-1.tmp", "hl7mwld-crashed.tmp"};
  TempFolder dir;
  std::error_code ignored;
  for (const std::string& name : folders) fs::create_directory(dir.path + "/" + name, ignored);
  for (const auto& names : {site_files, stale, {"hl7mwld-entry.wl"}}) {
    for (const std::string& name : names) write_file(dir.path + "/" + name, name);
  }
  Folder folder;
  std::string error;
  ASSERT_TRUE(open_folder(dir.path, folder, error)) << error;
  ASSERT_TRUE(lock_folder(folder, error)) << error;
  remove_temporaries(folder);
  CommitProgress progress;
  // Names hl7mwld did not make, or outside the folder, are refused before anything is written.
  for (const std::string name : {"site.wl", "sub/hl7mwld-inner.wl", "../hl7mwld-out.wl",
                                 "hl7mwld-x.txt", "hl7mwld-crashed.tmp"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(
        commit_changes(folder, {{"hl7mwld-early.wl", "early"}, {name, "x"}}, progress, error));
    EXPECT_EQ(error, dir / name + ": " + std::strerror(EINVAL));
  }
  EXPECT_TRUE(commit_changes(folder, {{"hl7mwld-new.wl", "new"}, {"hl7mwld-gone.wl", {}}}, progress,
                             error));

  const Contents entries = {{"hl7mwld-entry.wl", "hl7mwld-entry.wl"}, {"hl7mwld-new.wl", "new"}};
  Contents expected = entries;
  expected["lockfile"] = "";
  expected["hl7mwld-generation"] = "1\n";  // refused batches do not count
  for (const std::string& name : folders) expected[name] = "<folder>";
  for (const std::string& name : site_files) expected[name] = name;
  EXPECT_EQ(contents(dir.path), expected);
  std::vector<std::string> names;
  EXPECT_TRUE(list_entries(folder, names, error)) << error;
  EXPECT_EQ(names, entry_names(entries));
}

TEST(OpenFolder, ErrorsNameThePath) {
  TempFolder dir;
  write_file(dir / "file", "");
  std::error_code ignored;
  fs::create_directories(fs::path(dir / "odd") / "lockfile", ignored);
  struct Case {
    std::string label;
    std::string path;
    std::string failed_path;
    int code;
  };
  const Case cases[] = {
      {"missing folder", dir / "missing", dir / "missing", ENOENT},
      {"a file", dir / "file", dir / "file", ENOTDIR},
#ifndef _WIN32  // Windows gives its own text
      {"lockfile is a folder", dir / "odd", dir / "odd" + "/lockfile", EISDIR},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Folder folder;
    std::string error;
    EXPECT_FALSE(open_folder(c.path, folder, error));
    EXPECT_EQ(error, c.failed_path + ": " + std::strerror(c.code));
  }
}

TEST(OpenFolder, LockfileLetsTheGroupLock) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows files have no mode bits";
#else
  struct Case {
    std::string label;
    mode_t existing;  // 0: no lockfile yet
    mode_t mode;
  };
  const Case cases[] = {{"created", 0, 0664}, {"existing", 0640, 0640}};
  const mode_t saved_umask = umask(077);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempFolder dir;
    if (c.existing != 0) {
      write_file(dir / "lockfile", "");
      chmod((dir / "lockfile").c_str(), c.existing);
    }
    Folder folder;
    std::string error;
    EXPECT_TRUE(open_folder(dir.path, folder, error)) << error;
    struct stat status = {};
    EXPECT_EQ(stat((dir / "lockfile").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, c.mode);
  }
  umask(saved_umask);
#endif
}

TEST(LockFolder, ExcludesOtherWriters) {
  TempFolder dir;
  Folder folder;
  Folder moved;
  std::string error;
  ASSERT_TRUE(open_folder(dir.path, folder, error)) << error;
  std::vector<std::string> names;
  std::string bytes;
  CommitProgress progress;
  struct Step {
    std::string label;
    std::function<bool()> run;
    int other_could_lock;
  };
  const Step steps[] = {
      {"opened", [] { return true; }, 1},
      {"locked", [&] { return lock_folder(folder, error); }, 0},
      // A record lock would vanish if any descriptor of lockfile were opened and closed.
      {"after the other functions",
       [&] {
         remove_temporaries(folder);
         return commit_changes(folder, {{"hl7mwld-a.wl", "a"}}, progress, error) && folder.locked &&
                list_entries(folder, names, error) &&
                read_entry(folder, "hl7mwld-a.wl", bytes, error) &&
                entry_exists(folder, "hl7mwld-a.wl");
       },
       0},
      {"unlocked", [&] { return unlock_folder(folder), !folder.locked; }, 1},
      {"after a commit that took the lock",
       [&] {
         return commit_changes(folder, {{"hl7mwld-a.wl", {}}}, progress, error) && !folder.locked;
       },
       1},
      {"moved",
       [&] { return lock_folder(folder, error) && (moved = std::move(folder), moved.locked); }, 0},
      {"destroyed", [&] { return moved = Folder(), true; }, 1},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.label);
    EXPECT_TRUE(step.run()) << error;
    EXPECT_EQ(other_could_lock(dir / "lockfile"), step.other_could_lock);
  }
}

TEST(CommitChanges, FullDiskLeavesTheFolderAsItWas) {
#ifndef __linux__
  GTEST_SKIP() << "needs a Linux tmpfs";
#else
  TempFolder dir;
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "no small tmpfs can be mounted here: " << std::strerror(errno);
  }
  const Contents before = {{"lockfile", ""}, {"hl7mwld-a.wl", "old a"}, {"hl7mwld-b.wl", "old b"}};
  for (const auto& [name, bytes] : before) write_file(dir / name, bytes);
  {
    Folder folder;
    std::string error;
    ASSERT_TRUE(open_folder(dir.path, folder, error)) << error;
    ASSERT_TRUE(lock_folder(folder, error)) << error;
    const std::vector<FolderChange> changes = {{"hl7mwld-c.wl", "new c"},
                                               {"hl7mwld-a.wl", std::string(1 << 20, 'a')},
                                               {"hl7mwld-b.wl", std::nullopt}};
    CommitProgress progress;
    EXPECT_FALSE(commit_changes(folder, changes, progress, error));
    EXPECT_EQ(progress.durable + progress.unknown, 0u);
    EXPECT_TRUE(error.starts_with(dir / "hl7mwld-")) << error;
    EXPECT_TRUE(error.ends_with(std::string(": ") + std::strerror(ENOSPC))) << error;
    EXPECT_EQ(contents(dir.path), before);
  }
  EXPECT_EQ(umount2(dir.path.c_str(), MNT_DETACH), 0) << std::strerror(errno);
#endif
}

}  // namespace
