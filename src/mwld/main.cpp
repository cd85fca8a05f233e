// hl7mwld: HL7 order messages into a folder of DICOM worklist files that worklist servers serve.
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hl7/read_chunks.h"
#include "messages.h"
#include "mwld/apply.h"
#include "mwld/command_line.h"
#include "mwld/expiry.h"
#include "mwld/folder.h"
#include "mwld/listing.h"
#include "mwld/log.h"
#include "mwld/message.h"
#include "mwld/plan.h"
#include "mwld/report.h"
#include "mwld/serve.h"
#include "platform.h"

namespace {

// Messages applied under one lock and made durable together, across files.
constexpr std::size_t kBatchSize = 500;
// Removals by expiry under one lock, so that queries are not kept waiting.
constexpr std::size_t kExpiryBatch = 1000;

constexpr int kRejected = 1;
constexpr int kFailed = 2;

void print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// All bytes of `path`, standard input for "-"; false with the report written when unreadable.
bool read_input(const std::string& path, std::string& bytes) {
  const bool from_stdin = path == "-";
  if (!from_stdin && is_directory(path)) {
    write_error(error_report(path, EISDIR));
    return false;
  }
  const bool read = from_stdin ? read_all(stdin, bytes) : read_file(path, bytes);
  if (!read) write_error(error_report(path, errno));
  return read;
}

// 1 for a message refused for its content, 2 for one refused by a fault of hl7mwld's own.
int status_of(const MessagePlan& plan) {
  if (!plan.rejection) return 0;
  return plan.rejection->internal ? kFailed : kRejected;
}

// The plan of message `number` of a file; a fault of hl7mwld's own while reading the file
// (`fault`) or planning the message refuses this message alone.
MessagePlan planned(const Input& input, std::size_t number, const std::optional<Rejection>& fault,
                    const MappingOptions& options) {
  MessagePlan plan;
  if (fault) {
    plan.rejection = fault;
    return plan;
  }
  const Message& message = input.messages[number];
  if (auto planning_fault = guarded([&] { plan = plan_message(message, options); })) {
    plan = {};
    if (message.readable) plan.control_id = field(message.segments.front(), 10);
    plan.rejection = std::move(planning_fault);
  }
  return plan;
}

// The messages of one file and what has become of the run so far.
// `fault` is set when reading the file failed by a fault of hl7mwld's own: `input` then holds
// one unreadable message.
using TakeFile = std::function<bool(const std::string& path, const Input& input,
                                    const std::optional<Rejection>& fault, int& status)>;

// Reads each of `files` in turn and hands its messages to `take`, which may end the run by
// returning false (status 2). An unreadable file is reported and makes the status 2; a file
// without any message is handed over as one message that is not readable.
int for_each_file(const std::vector<std::string>& files, const TakeFile& take) {
  int status = 0;
  for (const std::string& path : files) {
    std::string bytes;
    if (!read_input(path, bytes)) {
      status = kFailed;
      continue;
    }
    Input input;
    // A fault of hl7mwld's own while reading the file refuses the file as one message.
    std::optional<Rejection> fault = guarded([&] { input = split_messages(bytes); });
    if (fault) input = {};
    if (input.messages.empty()) input.messages.push_back({Separators{}, {}, false});
    if (!take(path, input, fault, status)) return kFailed;
  }
  std::fflush(stdout);
  return status;
}

// Planned messages waiting to be applied together, whatever files they came from.
struct Batch {
  std::vector<MessagePlan> plans;
  std::vector<std::pair<std::string, std::size_t>> origins;  // file, number in the file
};

// Applies the batch under one lock and one commit, prints its lines, and empties it. False
// after a folder or disk error: the lines printed are then the changes that reached the disk,
// and standard error names, after the error, those whose state is unknown.
bool commit(Batch& batch, Folder& folder, WorklistIndex& index) {
  std::vector<const MessagePlan*> plans;
  for (const MessagePlan& plan : batch.plans) plans.push_back(&plan);
  std::vector<MessageResult> results;
  std::string error;
  const bool committed = apply_plans(folder, index, plans, results, error);
  for (std::size_t i = 0; i < results.size(); ++i) {
    const auto& [path, number] = batch.origins[i];
    const MessagePlace place{path, number, batch.plans[i].control_id};
    for (const OutcomeLine& line : results[i].lines) {
      print(outcome_text(place, outcome_word(line.outcome), line.entry_name, line.reason));
    }
  }
  std::fflush(stdout);
  if (!committed) {
    write_error(error);
    for (std::size_t i = 0; i < results.size(); ++i) {
      const auto& [path, number] = batch.origins[i];
      for (const OutcomeLine& line : results[i].unknown) {
        write_error(line.entry_name + ": not known to be on the disk (" +
                    outcome_word(line.outcome) + " by message " + std::to_string(number) + " of " +
                    path + ")");
      }
    }
  }
  batch = {};
  return committed;
}

// The lines of an expiry pass: `word` and the reason per entry, then one line naming the
// entries kept for want of a readable start; each line after `prefix`.
void print_expiry(const ExpiryResult& result, const std::string& prefix, std::string_view word) {
  for (const ExpiredEntry& entry : result.removed) {
    print(prefix + std::string(word) + '\t' + column_text(entry.name) + '\t' +
          column_text(entry.reason) + '\n');
  }
  if (!result.kept.empty())
    print(prefix + "kept\t-\t" + column_text(kept_text(result.kept)) + '\n');
  std::fflush(stdout);
}

// Expires the folder's entries in passes of at most kExpiryBatch removals, each under the lock.
// False after a folder or disk error, written with its report.
bool expire_all(Folder& folder, WorklistIndex& index, std::chrono::seconds duration,
                const std::string& prefix) {
  const std::time_t now = std::time(nullptr);
  bool more = true;
  bool first = true;
  while (more) {
    ExpiryResult result;
    std::string error;
    const bool expired =
        expire_entries(folder, index, duration, now, kExpiryBatch, false, result, error);
    if (!first) result.kept.clear();  // named once
    print_expiry(result, prefix, "removed");
    if (!expired) {
      write_error(error);
      return false;
    }
    more = result.more;
    first = false;
  }
  return true;
}

int run_apply(const CommandLine& line) {
  Folder folder;
  std::string error;
  if (!open_folder_and_clean_up(line.worklist, folder, error)) {
    write_error(error);
    return kFailed;
  }
  const MappingOptions options = mapping_options_of(line, std::time(nullptr));
  WorklistIndex index;  // built when the run first needs it
  Batch batch;
  bool stopped = false;  // by a folder or disk error
  const int status =
      for_each_file(line.files, [&](const std::string& path, const Input& input,
                                    const std::optional<Rejection>& fault, int& status) {
        for (std::size_t i = 0; i < input.messages.size() && !stopped; ++i) {
          batch.plans.push_back(planned(input, i, fault, options));
          batch.origins.emplace_back(path, i + 1);
          status = std::max(status, status_of(batch.plans.back()));
          if (batch.plans.size() == kBatchSize) stopped = !commit(batch, folder, index);
        }
        return !stopped;
      });
  stopped = stopped || (!batch.plans.empty() && !commit(batch, folder, index));
  // Expiry lines name no message: their file, number and control ID are "-".
  stopped = stopped ||
            (line.expire_after && !expire_all(folder, index, *line.expire_after, "-\t-\t-\t"));
  checkpoint_folder(folder);
  return stopped ? kFailed : status;
}

int run_list(const CommandLine& line) {
  Folder folder;  // read without the lock: hl7mwld replaces entries whole
  folder.path = line.worklist;
  std::vector<EntrySummary> entries;
  std::string error;
  if (!scan_entries(folder, entries, error)) {
    write_error(error);
    return kFailed;
  }
  int status = 0;
  for (const EntrySummary& entry : entries) {
    if (!entry.problem.empty()) {
      write_error(entry.problem);
      status = kRejected;
    } else if (matches(line.filter, entry)) {
      print(list_line(entry));
    }
  }
  std::fflush(stdout);
  return status;
}

int run_expire(const CommandLine& line) {
  Folder folder;
  std::string error;
  if (line.dry_run) {
    folder.path = line.worklist;
    ExpiryResult result;
    WorklistIndex index;
    if (!expire_entries(folder, index, *line.expire_after, std::time(nullptr), 0, true, result,
                        error)) {
      write_error(error);
      return kFailed;
    }
    print_expiry(result, "", "would remove");
    return 0;
  }
  if (!open_folder_and_clean_up(line.worklist, folder, error)) {
    write_error(error);
    return kFailed;
  }
  WorklistIndex index;
  const bool expired = expire_all(folder, index, *line.expire_after, "");
  checkpoint_folder(folder);
  return expired ? 0 : kFailed;
}

int run_show(const CommandLine& line) {
  const MappingOptions options = mapping_options_of(line, std::time(nullptr));
  return for_each_file(line.files, [&](const std::string& path, const Input& input,
                                       const std::optional<Rejection>& fault, int& status) {
    for (std::size_t i = 0; i < input.messages.size(); ++i) {
      const MessagePlan plan = planned(input, i, fault, options);
      status = std::max(status, status_of(plan));
      print(plan_text({path, i + 1, plan.control_id}, plan));
    }
    return true;
  });
}

}  // namespace

int main(int argc, char** argv) {
  use_binary_stdio();
  // A reader that has gone, of the output or of serve's log, makes writes fail; it does not end
  // the program.
  ignore_broken_pipes();
  CommandLine line;
  if (const int status = parse_command_line(argc, argv, line); status >= 0) return status;
  const CommandLine given = line;  // serve reads the profile again from it
  if (std::string error; !apply_profile(line, error)) {
    write_error(error);
    return kFailed;
  }
  if (line.show_mapping) {
    print(mapping_text(mapping_options_of(line, std::time(nullptr))));
    std::fflush(stdout);
    return 0;
  }
  switch (line.command) {
    case Command::apply:
      return run_apply(line);
    case Command::show:
      return run_show(line);
    case Command::serve:
      return run_serve(line, given);
    case Command::list:
      return run_list(line);
    case Command::expire:
      return run_expire(line);
  }
  return kFailed;
}
