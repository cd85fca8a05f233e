// The folder's journal. A file of a header, in two slots written in turn so that a torn write
// leaves the other, and records from kRecordsStart on, used as a ring:
//
//   header slot (at 0 and 512): "HL7MWLDJ", count, freed-through sequence, first record's
//                               offset, checksum of the 32 bytes before it
//   record: magic, payload length (4 bytes each), sequence, cache identity, checksum (8 each),
//           then for each change: 1 (write) or 0 (remove), the name's length (4), the name,
//           and for a write the content's length (4) and the content
//
// Numbers are little-endian. Records follow each other with sequences one apart; a record that
// does not fit before kCapacity starts again at kRecordsStart, so a reader that does not find
// the next sequence where the last record ended looks there. Sequences never repeat, so what
// is left of older records never continues the chain.
#include "mwld/journal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "mwld/folder.h"
#include "mwld/folder_system.h"

namespace {

constexpr std::string_view kJournalName = "hl7mwld-journal";
constexpr std::string_view kHeaderMagic = "HL7MWLDJ";
constexpr std::uint32_t kRecordMagic = 0x4a52574c;  // "LWRJ"
constexpr std::uint64_t kSlotSize = 512;
constexpr std::uint64_t kHeaderSize = 40;
constexpr std::uint64_t kRecordHeaderSize = 32;
constexpr std::uint64_t kRecordsStart = 4096;
// Records beyond this start again at kRecordsStart, once the checkpoints have freed the space.
constexpr std::uint64_t kCapacity = 64 << 20;
// The file grows by zeros, doubling up to steps of this, so that a record's flush seldom
// changes its size, which would cost the file system a commit of its own.
constexpr std::uint64_t kGrowth = 1 << 20;
// A checkpoint starts after a commit once this long has passed since the last began (the
// interval at which ext4 commits its own journal by default), or once this many bytes of
// records wait for one. Each flushes whatever any program left unflushed on the file system,
// such as the access times a start-up's reading of a large folder changed.
constexpr auto kCheckpointEvery = std::chrono::seconds(5);
constexpr std::uint64_t kCheckpointBytes = 16 << 20;
// A checkpoint as a writer ends flushes up to this many files one by one, as a run of a few
// messages does, rather than the whole file system, which would make it wait for whatever any
// other program left unflushed (behind another program's 3 GB, 1.2 s).
constexpr std::size_t kFewFiles = 64;

using Clock = std::chrono::steady_clock;

struct RecordSpan {
  std::uint64_t sequence;
  std::uint64_t offset;
  std::uint64_t end;
};

std::uint64_t checksum(std::string_view bytes, std::uint64_t hash = 14695981039346656037ull) {
  for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return hash;
}

// The system start's name, hashed as a record holds it.
std::uint64_t cache_identity() {
  static const std::uint64_t identity = checksum(system_start());
  return identity;
}

void put_number(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

std::uint64_t number_at(std::string_view bytes, std::uint64_t offset, int size) {
  std::uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
  }
  return value;
}

}  // namespace

struct Journal {
  std::string path;
  std::string folder_path;
  std::intptr_t handle = -1;
  bool loaded = false;
  std::uint64_t generation = 0;  // the folder's, after this process last changed the journal
  std::uint64_t header_count = 0;
  std::uint64_t freed = 0;  // the records up to this sequence need no replay
  std::uint64_t size = 0;
  std::uint64_t end = kRecordsStart;
  std::uint64_t next_sequence = 1;
  std::deque<RecordSpan> pending;  // records not freed, in order

  // The checkpoint thread, started when first needed.
  std::mutex mutex;
  std::condition_variable changed;
  std::uint64_t asked = 0;    // a checkpoint is to cover the records up to this sequence
  std::uint64_t covered = 0;  // a checkpoint ended that covers the records up to this one
  bool running = false;
  bool stopping = false;
  Clock::time_point last_start = Clock::now();
  std::thread thread;
};

namespace {

std::string header_text(std::uint64_t count, std::uint64_t freed, std::uint64_t first) {
  std::string header(kHeaderMagic);
  put_number(header, count, 8);
  put_number(header, freed, 8);
  put_number(header, first, 8);
  put_number(header, checksum(header), 8);
  return header;
}

// The valid slot with the higher count; false when neither is valid (a new journal).
bool read_header(std::string_view bytes, std::uint64_t& count, std::uint64_t& freed,
                 std::uint64_t& first) {
  bool found = false;
  for (std::uint64_t slot = 0; slot < 2; ++slot) {
    const std::uint64_t at = slot * kSlotSize;
    if (bytes.size() < at + kHeaderSize) break;
    const std::string_view header = bytes.substr(at, kHeaderSize);
    if (!header.starts_with(kHeaderMagic) ||
        checksum(header.substr(0, 32)) != number_at(header, 32, 8)) {
      continue;
    }
    const std::uint64_t slot_count = number_at(header, 8, 8);
    if (found && slot_count < count) continue;
    found = true;
    count = slot_count;
    freed = number_at(header, 16, 8);
    first = number_at(header, 24, 8);
  }
  return found;
}

// The record at `offset` when one with `sequence` is there whole: its payload and identity.
// Read a record at a time, so that a journal of few records waiting costs little to read.
bool read_record(const Journal& journal, std::uint64_t offset, std::uint64_t sequence,
                 std::string& payload, std::uint64_t& identity) {
  std::string head;
  std::string ignored;
  if (offset < kRecordsStart || offset + kRecordHeaderSize > journal.size ||
      !read_at(journal.handle, offset, kRecordHeaderSize, head, journal.path, ignored) ||
      head.size() < kRecordHeaderSize || number_at(head, 0, 4) != kRecordMagic ||
      number_at(head, 8, 8) != sequence) {
    return false;
  }
  const std::uint64_t length = number_at(head, 4, 4);
  if (journal.size - offset - kRecordHeaderSize < length ||
      !read_at(journal.handle, offset + kRecordHeaderSize, length, payload, journal.path,
               ignored) ||
      payload.size() < length) {
    return false;
  }
  identity = number_at(head, 16, 8);
  return checksum(payload, checksum(std::string_view(head).substr(4, 20))) == number_at(head, 24, 8);
}

std::string record_text(const std::vector<FolderChange>& changes, std::uint64_t sequence) {
  std::string payload;
  for (const FolderChange& change : changes) {
    payload += change.bytes ? '\1' : '\0';
    put_number(payload, change.name.size(), 4);
    payload += change.name;
    if (!change.bytes) continue;
    put_number(payload, change.bytes->size(), 4);
    payload += *change.bytes;
  }
  std::string record;
  record.reserve(kRecordHeaderSize + payload.size());
  put_number(record, kRecordMagic, 4);
  put_number(record, payload.size(), 4);
  put_number(record, sequence, 8);
  put_number(record, cache_identity(), 8);
  put_number(record, checksum(payload, checksum(std::string_view(record).substr(4, 20))), 8);
  return record += payload;
}

// The changes of a payload record_at found whole.
std::vector<FolderChange> changes_of(std::string_view payload) {
  std::vector<FolderChange> changes;
  std::uint64_t at = 0;
  const auto field = [&](std::string_view& text) {
    if (payload.size() - at < 4) return false;
    const std::uint64_t length = number_at(payload, at, 4);
    if (payload.size() - at - 4 < length) return false;
    text = payload.substr(at + 4, length);
    at += 4 + length;
    return true;
  };
  while (at < payload.size()) {
    const bool write = payload[at++] == '\1';
    std::string_view name, bytes;
    if (!field(name) || (write && !field(bytes))) break;
    changes.push_back({std::string(name), write ? std::optional<std::string>(bytes) : std::nullopt});
  }
  return changes;
}

bool open_journal(Folder& folder, std::string& error) {
  if (folder.journal) return true;
  auto journal = std::unique_ptr<Journal, JournalCloser>(new Journal);
  journal->path = path_in(folder.path, kJournalName);
  journal->folder_path = folder.path;
  if (!open_shared_file(journal->path, journal->handle, error)) return false;
  folder.journal = std::move(journal);
  return true;
}

// Reads the journal's header and follows its chain of records, when this process has not, or
// when another changed the folder since. `records`, when given, gets the records' payloads.
bool load(Folder& folder, std::uint64_t generation, std::string& error,
          std::vector<std::pair<std::string, std::uint64_t>>* records = nullptr) {
  if (!open_journal(folder, error)) return false;
  Journal& journal = *folder.journal;
  if (journal.loaded && journal.generation == generation && !records) return true;
  FileStamp stamp;
  std::string header;
  if (!file_stamp(journal.path, stamp)) return errno_failure(journal.path, errno, error);
  journal.size = stamp.size;
  if (!read_at(journal.handle, 0, kSlotSize + kHeaderSize, header, journal.path, error)) {
    return false;
  }
  std::uint64_t first = kRecordsStart;
  journal.header_count = 0;
  journal.freed = 0;
  read_header(header, journal.header_count, journal.freed, first);
  journal.pending.clear();
  std::uint64_t at = first;
  std::uint64_t sequence = journal.freed + 1;
  std::string payload;
  std::uint64_t identity = 0;
  while (true) {
    std::uint64_t offset = at;
    if (!read_record(journal, offset, sequence, payload, identity)) {
      offset = kRecordsStart;
      if (!read_record(journal, offset, sequence, payload, identity)) break;
    }
    const std::uint64_t end = offset + kRecordHeaderSize + payload.size();
    journal.pending.push_back({sequence, offset, end});
    if (records) records->emplace_back(std::move(payload), identity);
    at = end;
    ++sequence;
  }
  journal.end = journal.pending.empty() ? first : at;
  journal.next_sequence = sequence;
  journal.generation = generation;
  journal.loaded = true;
  return true;
}

// Takes the header another process wrote since this one read it: a checkpoint of its own.
bool refresh_header(Journal& journal, std::string& error) {
  std::string bytes;
  if (!read_at(journal.handle, 0, kSlotSize + kHeaderSize, bytes, journal.path, error)) {
    return false;
  }
  std::uint64_t count = 0, freed = 0, first = 0;
  if (!read_header(bytes, count, freed, first) || count <= journal.header_count) return true;
  journal.header_count = count;
  journal.freed = freed;
  while (!journal.pending.empty() && journal.pending.front().sequence <= freed) {
    journal.pending.pop_front();
  }
  return true;
}

bool write_header(Journal& journal, std::uint64_t freed, std::uint64_t first, std::string& error) {
  const std::uint64_t count = journal.header_count + 1;
  if (!write_at(journal.handle, (count % 2) * kSlotSize, header_text(count, freed, first),
                journal.path, error)) {
    return false;
  }
  journal.header_count = count;
  journal.freed = freed;
  return true;
}

// Frees the records a finished checkpoint covers. The header saying so is flushed before any
// record is written over them: until then, after a crash, the header before it must still find
// them where they were.
bool free_covered(Journal& journal, std::string& error) {
  std::uint64_t covered;
  {
    const std::lock_guard<std::mutex> lock(journal.mutex);
    covered = journal.covered;
  }
  if (covered <= journal.freed) return true;
  auto kept = journal.pending.begin();
  while (kept != journal.pending.end() && kept->sequence <= covered) ++kept;
  if (!write_header(journal, covered, kept == journal.pending.end() ? journal.end : kept->offset,
                    error) ||
      !journal_flush(journal, error)) {
    return false;
  }
  journal.pending.erase(journal.pending.begin(), kept);
  return true;
}

void wait_for_checkpoint(Journal& journal) {
  std::unique_lock<std::mutex> lock(journal.mutex);
  journal.changed.wait(lock, [&] { return !journal.running; });
}

void run_checkpoints(Journal& journal) {
  std::unique_lock<std::mutex> lock(journal.mutex);
  while (true) {
    journal.changed.wait(lock, [&] { return journal.stopping || journal.running; });
    if (journal.stopping) return;
    const std::uint64_t through = journal.asked;
    lock.unlock();
    std::string ignored;  // a failed checkpoint frees nothing; the next one tries again
    const bool flushed = flush_file_system(journal.folder_path, ignored);
    lock.lock();
    if (flushed) journal.covered = std::max(journal.covered, through);
    journal.running = false;
    journal.changed.notify_all();
  }
}

}  // namespace

void JournalCloser::operator()(Journal* journal) const {
  if (journal->thread.joinable()) {
    {
      const std::lock_guard<std::mutex> lock(journal->mutex);
      journal->stopping = true;
    }
    journal->changed.notify_all();
    journal->thread.join();
  }
  close_handle(journal->handle);
  delete journal;
}

bool journal_append(Folder& folder, const std::vector<FolderChange>& changes,
                    std::uint64_t generation, JournalPlace& place, std::string& error) {
  if (!load(folder, generation, error)) return false;
  Journal& journal = *folder.journal;
  if (!refresh_header(journal, error) || !free_covered(journal, error)) return false;
  const std::string record = record_text(changes, journal.next_sequence);
  const std::uint64_t length = record.size();
  // Its lengths are written in 4 bytes.
  if (length - kRecordHeaderSize > UINT32_MAX) return errno_failure(journal.path, EFBIG, error);
  const bool wrapped = !journal.pending.empty() && journal.pending.front().offset > journal.end;
  const std::uint64_t limit = wrapped ? journal.pending.front().offset : kCapacity;
  std::uint64_t offset = journal.end;
  if (offset + length > limit) {
    if (!journal.pending.empty() &&
        (wrapped || kRecordsStart + length > journal.pending.front().offset)) {
      // Full: every record must be freed first.
      if (!checkpoint_journal(folder, error)) return false;
    }
    offset = kRecordsStart;
  }
  if (offset + length > journal.size) {
    // Doubling up to the step, so that a small disk holds a small journal.
    const std::uint64_t size =
        std::min((offset + length + kGrowth - 1) / kGrowth * kGrowth,
                 std::max(offset + length, 2 * journal.size));
    if (!write_at(journal.handle, journal.size, std::string(size - journal.size, '\0'),
                  journal.path, error)) {
      return false;
    }
    journal.size = size;
  }
  if (!write_at(journal.handle, offset, record, journal.path, error)) return false;
  place = {journal.next_sequence, offset};
  journal.pending.push_back({journal.next_sequence++, offset, offset + length});
  journal.end = offset + length;
  return true;
}

bool journal_flush(Journal& journal, std::string& error) {
  return flush_data(journal.handle, journal.path, error);
}

bool journal_withdraw(Folder& folder, const JournalPlace& place, std::string& error) {
  Journal& journal = *folder.journal;
  journal.pending.pop_back();
  journal.next_sequence = place.sequence;
  journal.end = journal.pending.empty() ? place.offset : journal.pending.back().end;
  return write_at(journal.handle, place.offset, std::string(4, '\0'), journal.path, error) &&
         journal_flush(journal, error);
}

void journal_committed(Folder& folder, std::uint64_t generation) {
  Journal& journal = *folder.journal;
  journal.generation = generation;
  const std::uint64_t waiting = journal.pending.empty()
                                    ? 0
                                    : (journal.end + kCapacity - journal.pending.front().offset) %
                                          kCapacity;
  const std::lock_guard<std::mutex> lock(journal.mutex);
  if (journal.running || journal.pending.empty() || journal.asked >= journal.next_sequence - 1 ||
      (Clock::now() - journal.last_start < kCheckpointEvery && waiting < kCheckpointBytes)) {
    return;
  }
  if (!journal.thread.joinable()) {
    try {
      journal.thread = std::thread(run_checkpoints, std::ref(journal));
    } catch (const std::system_error&) {
      return;  // left to the next commit, or to the checkpoint at the end
    }
  }
  journal.asked = journal.next_sequence - 1;
  journal.running = true;
  journal.last_start = Clock::now();
  journal.changed.notify_all();
}

namespace {

// Flushes the few entry files the records waiting name, one by one, and the folder; false
// when they are more than kFewFiles (or cannot be read), for one flush of the file system.
bool flush_named_files(const Journal& journal, std::string& error) {
  std::set<std::string> names;
  std::string payload;
  std::uint64_t identity = 0;
  for (const RecordSpan& record : journal.pending) {
    if (!read_record(journal, record.offset, record.sequence, payload, identity)) return false;
    for (const FolderChange& change : changes_of(payload)) names.insert(change.name);
    if (names.size() > kFewFiles) return false;
  }
  return flush_entries_in_place(journal.folder_path, {names.begin(), names.end()}, error);
}

}  // namespace

// Frees every record where it ends, so that another process's next record, written where it
// last saw the journal end, follows on.
bool checkpoint_journal(Folder& folder, std::string& error) {
  if (!folder.journal) return true;
  if (!load(folder, folder_generation(folder), error)) return false;
  Journal& journal = *folder.journal;
  wait_for_checkpoint(journal);
  if (!refresh_header(journal, error)) return false;
  if (journal.pending.empty()) return true;
  if ((!flush_named_files(journal, error) && !flush_file_system(folder.path, error)) ||
      !write_header(journal, journal.next_sequence - 1, journal.end, error) ||
      !journal_flush(journal, error)) {
    return false;
  }
  journal.pending.clear();
  return true;
}

bool recover_journal(Folder& folder, std::string& error) {
  std::vector<std::pair<std::string, std::uint64_t>> records;
  if (!load(folder, folder_generation(folder), error, &records)) return false;
  // Records written since the system last started had their files in its cache, which still
  // holds them; an earlier start's files may have been lost with the crash.
  const std::uint64_t identity = cache_identity();
  bool restored = false;
  for (const auto& [payload, written_under] : records) {
    if (written_under == identity) continue;
    if (!restore_entries(folder, changes_of(payload), error)) return false;
    restored = true;
  }
  std::uint64_t generation = 0;
  if (restored) {
    if (!bump_generation(folder, generation, error)) return false;
    folder.journal->generation = generation;
  }
  return checkpoint_journal(folder, error);
}
