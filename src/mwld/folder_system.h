// What the worklist folder asks of the file system: the same functions on POSIX
// (folder_posix.cpp) and on Windows (folder_windows.cpp), which folder.cpp's commit policy
// uses. Handles are descriptors or HANDLEs held in a std::intptr_t; -1 is none on both. A
// function that fails returns false with "PATH: <system error text>" in `error`, PATH being
// the file or folder the failed call named.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mwld/folder.h"

// Shared by both platforms, defined in folder.cpp.

// Sets `error` to "PATH: " and the C library's text for `code`; returns false.
bool errno_failure(const std::string& path, int code, std::string& error);

// True for "hl7mwld-*" + `suffix`: the only names hl7mwld creates, replaces or removes.
bool is_our_name(std::string_view name, std::string_view suffix);

// `name` in `folder`, joined by the platform's separator.
std::string path_in(const std::string& folder, std::string_view name);

// Writes the folder's generation count, one more than it was, into `generation`.
bool bump_generation(const Folder& folder, std::uint64_t& generation, std::string& error);

// Flushes each entry of `names` the folder holds, then the folder itself.
bool flush_entries_in_place(const std::string& folder, const std::vector<std::string>& names,
                            std::string& error);

// Makes the entries as `changes` say, whatever they hold now, unflushed: the journal's replay.
bool restore_entries(const Folder& folder, const std::vector<FolderChange>& changes,
                     std::string& error);

// Each platform's own.

extern const char kPathSeparator;  // '/' on POSIX, '\\' on Windows; '/' is taken on both

unsigned long process_id();

// The folder at `path` exists and is a folder (on POSIX, one this process may write).
bool check_folder(const std::string& path, std::string& error);

// Opens `path` for reading, writing and locking, creating it when it is missing; on POSIX
// with mode 0664 whatever the umask, so that every writer of the folder's group can open it.
bool open_shared_file(const std::string& path, std::intptr_t& handle, std::string& error);

// Waits for and takes the write lock on the whole file; unlock_file gives it back.
bool lock_file(std::intptr_t handle, const std::string& path, std::string& error);
void unlock_file(std::intptr_t handle);

// Closes `handle` unless it is -1.
void close_handle(std::intptr_t handle);

// A handle of the folder at `path` for flush_directory, which makes its renames and removals
// durable.
bool open_directory(const std::string& path, std::intptr_t& handle, std::string& error);
bool flush_directory(std::intptr_t directory, const std::string& path, std::string& error);

// Creates the file `path` (one a crashed run left is replaced) holding `bytes`; flush_file
// then makes sure they are on the disk.
bool write_new_file(const std::string& path, std::string_view bytes, std::string& error);
bool flush_file(const std::string& path, std::string& error);

// Renames `from` over `to`, replacing it.
bool rename_over(const std::string& from, const std::string& to, std::string& error);

// Removes the file `path`; a missing one is not an error.
bool remove_file(const std::string& path, std::string& error);

// Removes the entry file `path` so that no crash brings it back, using `temporary` as a name
// of its own where the platform needs one; a missing entry is not an error.
bool remove_entry(const std::string& path, const std::string& temporary, std::string& error);

// True when something is called `path` (a link is not followed).
bool file_exists(const std::string& path);

// Appends to `names` the plain files in `folder` whose names are "hl7mwld-*" + `suffix`, and
// to `stamps`, when given, their stamps.
bool list_files(const std::string& folder, std::string_view suffix, std::vector<std::string>& names,
                std::string& error, std::vector<FileStamp>* stamps = nullptr);

// The stamp of the file or folder `path`; false when it cannot be read.
bool file_stamp(const std::string& path, FileStamp& stamp);

// The journal (opened by open_shared_file): read (up to `size` bytes, fewer at its end) and
// written at an offset; its data flushed.
bool read_at(std::intptr_t handle, std::uint64_t offset, std::size_t size, std::string& bytes,
             const std::string& path, std::string& error);
bool write_at(std::intptr_t handle, std::uint64_t offset, std::string_view bytes,
              const std::string& path, std::string& error);
bool flush_data(std::intptr_t handle, const std::string& path, std::string& error);

// Makes durable every file written and renamed in the folder's file system so far.
bool flush_file_system(const std::string& folder, std::string& error);

// Names the life of the system's file cache: files written while it is the same are still
// there as written, flushed or not, whatever process wrote them.
std::string system_start();
