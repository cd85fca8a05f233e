// The folder's journal, hl7mwld-journal: a commit is durable once its record (the names and new
// contents of its entries) is flushed there, one flush for a whole group instead of one for each
// file and one for the folder. The entries themselves are written and renamed unflushed; a
// checkpoint later makes the file system durable as a whole and frees the records it covers.
// After the system itself crashed, the next hl7mwld to open the folder writes again the entries
// of the records not freed.
//
// Every function is called holding the folder's lock, except journal_flush.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Folder;
struct FolderChange;
struct Journal;

// Where a record was written, for journal_withdraw.
struct JournalPlace {
  std::uint64_t sequence = 0;
  std::uint64_t offset = 0;
};

// Writes the record of `changes`, unflushed. `generation` is the folder's generation before
// this commit: when another process committed since this one last did, the journal is read
// again first. A journal too full for the record is checkpointed first.
bool journal_append(Folder& folder, const std::vector<FolderChange>& changes,
                    std::uint64_t generation, JournalPlace& place, std::string& error);

// Flushes what journal_append wrote; may run on another thread while the commit goes on.
bool journal_flush(Journal& journal, std::string& error);

// Makes the record at `place` invalid (the commit failed before all its changes were made),
// and its files' changes then are flushed the old way by the caller.
bool journal_withdraw(Folder& folder, const JournalPlace& place, std::string& error);

// The commit that wrote the last record ended with the folder at `generation`. Now and then
// this starts a checkpoint on the journal's own thread, which the next append records.
void journal_committed(Folder& folder, std::uint64_t generation);

// Makes every entry the journal covers durable and empties it.
bool checkpoint_journal(Folder& folder, std::string& error);

// As a folder is opened: after a crash of the system, writes again the entries of the records
// not freed, then empties the journal.
bool recover_journal(Folder& folder, std::string& error);
