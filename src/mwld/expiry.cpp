// Expiry: which entries have expired, and their removal in one commit.
#include "mwld/expiry.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "mwld/report.h"

bool read_duration(const std::string& text, std::chrono::seconds& duration) {
  if (text.size() < 2 || text.front() < '0' || text.front() > '9') return false;
  std::uint32_t number = 0;
  const char* const end = text.data() + text.size() - 1;
  const auto [stop, problem] = std::from_chars(text.data(), end, number);
  if (problem != std::errc() || stop != end || number == 0) return false;
  const char unit = text.back();
  const std::int64_t seconds = unit == 'm' ? 60 : unit == 'h' ? 3600 : unit == 'd' ? 86400 : 0;
  if (seconds == 0) return false;
  duration = std::chrono::seconds(number * seconds);
  return true;
}

std::string duration_text(std::chrono::seconds duration) {
  const std::int64_t minutes = duration.count() / 60;
  if (minutes % (24 * 60) == 0) return std::to_string(minutes / (24 * 60)) + 'd';
  if (minutes % 60 == 0) return std::to_string(minutes / 60) + 'h';
  return std::to_string(minutes) + 'm';
}

bool has_expired(std::time_t start, const std::string& status, std::chrono::seconds duration,
                 std::time_t now) {
  const std::int64_t age = static_cast<std::int64_t>(now) - static_cast<std::int64_t>(start);
  return age > (status == "STARTED" ? 2 : 1) * duration.count();
}

std::string kept_text(const std::vector<std::string>& names) {
  return "never expired, no readable start: " + joined(names);
}

bool expire_entries(Folder& folder, WorklistIndex& index, std::chrono::seconds duration,
                    std::time_t now, std::size_t limit, bool dry_run, ExpiryResult& result,
                    std::string& error) {
  result = {};
  const bool lock = !dry_run && !folder.locked;
  if (lock && !lock_folder(folder, error)) return false;
  const bool indexed =
      dry_run ? build_index(folder, index, error) : refresh_index(folder, index, error);
  if (!indexed) {
    if (lock) unlock_folder(folder);
    return false;
  }
  result.kept.assign(index.unreadable.begin(), index.unreadable.end());
  result.kept.insert(result.kept.end(), index.unstarted.begin(), index.unstarted.end());
  std::sort(result.kept.begin(), result.kept.end());
  std::vector<FolderChange> changes;
  // Oldest first; only entries older than the duration can have expired.
  const std::time_t cutoff = now - static_cast<std::time_t>(duration.count());
  for (auto it = index.by_start.begin(); it != index.by_start.end() && it->first < cutoff; ++it) {
    const EntrySummary& entry = index.entries.at(it->second).summary;
    if (!has_expired(it->first, entry.status, duration, now)) continue;
    if (!dry_run && changes.size() == limit) {
      result.more = true;
      break;
    }
    result.removed.push_back({entry.name, "expired: scheduled " + start_text(entry)});
    changes.push_back({entry.name, std::nullopt});
  }
  if (dry_run) return true;
  CommitProgress progress;
  const bool committed = commit_changes(folder, changes, progress, error);
  index_commit(folder, index, changes, progress);
  if (lock) unlock_folder(folder);
  if (!committed) {
    for (std::size_t i = progress.durable; i < progress.durable + progress.unknown; ++i) {
      error += (i == progress.durable ? "; not known to be on the disk: " : ", ") +
               result.removed[i].name;
    }
    result.removed.resize(progress.durable);
  }
  return committed;
}
