// Expiry: entries whose Scheduled Procedure Step began long enough ago leave the worklist.
#pragma once

#include <chrono>
#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

#include "mwld/folder.h"
#include "mwld/listing.h"
#include "mwld/worklist_index.h"

// Reads a DURATION ("90m", "36h", "7d": a positive whole number and a unit m, h or d) into
// `duration`. False for any other text.
bool read_duration(const std::string& text, std::chrono::seconds& duration);

// The duration in the largest unit that holds it whole: "7d", "36h", "90m".
std::string duration_text(std::chrono::seconds duration);

// What a bad DURATION is told.
inline constexpr const char* kDurationForm =
    "a positive number and a unit m, h or d, as in 90m, 36h or 7d";

// True when an entry that started at `start` has expired at `now` after `duration`: it started
// more than `duration` before `now`, or more than twice `duration` when its status is STARTED
// (a long exam is not cut off). Exactly `duration` old is kept.
bool has_expired(std::time_t start, const std::string& status, std::chrono::seconds duration,
                 std::time_t now);

// One entry expiry removed, or would remove.
struct ExpiredEntry {
  std::string name;
  std::string reason;  // "expired: scheduled YYYYMMDD HHMMSS"
};

struct ExpiryResult {
  std::vector<ExpiredEntry> removed;  // those that reached the disk, or would be removed
  std::vector<std::string> kept;      // entries without a readable start, never expired
  bool more = false;                  // the limit stopped it: more entries have expired
};

// Finds the entries expired at `now` through `index` (refreshed under the lock) and removes at
// most `limit` of them, oldest first, in one commit under the lock (which it takes unless the
// caller holds it), keeping the index current; with `dry_run` builds the index afresh, finds
// them all, takes no lock and changes nothing. False with the error after a folder or disk error; `result` then
// holds the removals that reached the disk, and the error names those in an unknown state.
bool expire_entries(Folder& folder, WorklistIndex& index, std::chrono::seconds duration,
                    std::time_t now, std::size_t limit, bool dry_run, ExpiryResult& result,
                    std::string& error);

// The reason of a line naming the entries expiry keeps for want of a readable start.
std::string kept_text(const std::vector<std::string>& names);
