// Applying planned messages to the worklist folder, in order, under one lock and one commit.
#pragma once

#include <string>
#include <vector>

#include "mwld/folder.h"
#include "mwld/plan.h"
#include "mwld/worklist_index.h"

enum class Outcome { created, replaced, removed, updated, ignored, rejected };

// One line of what happened: an entry created, replaced, removed or updated, or a message that
// changed nothing.
struct OutcomeLine {
  Outcome outcome;
  std::string entry_name;  // empty for ignored and rejected
  std::string reason;      // empty when there is nothing to say
};

// What one message did. When it was applied, `lines` are all it did. Otherwise a folder or
// disk error stopped the batch at this message or before it: `lines` are the changes of the
// message that reached the disk (a message it stopped part-way), `unknown` the changes made
// whose state is unknown (renamed or removed, but no flush covering them succeeded).
struct MessageResult {
  std::vector<OutcomeLine> lines;
  std::size_t entries_changed = 0;  // the number of lines that are changes
  bool applied = false;
  std::vector<OutcomeLine> unknown;
};

// The word of an outcome in the output: "created", "replaced", ...
const char* outcome_word(Outcome outcome);

// Applies `plans` to `folder` in their order, holding its lock, and commits their changes as
// one batch before it returns: a later message sees what an earlier one did. Cancels remove
// every entry hl7mwld wrote whose order numbers match, a start sets their step STARTED, patient
// messages update the patient's entries; an entry they cannot read is named in their line
// ("entry NAME could not be read"). They find the entries through `index`, which is refreshed
// under the lock when it is built or the batch needs it, and kept current with the commit.
// `results` gets one MessageResult per plan. True when every change reached the disk (see
// CommitProgress). On a folder or disk error, returns false with the error. When the folder could
// not be locked or read, no message is applied. Otherwise the messages before the first one with a
// change that did not reach the disk are applied; that one and every later one are not (their
// outcome was worked out against a folder the failed change did not leave), and their results say
// which of their changes reached the disk and which are in an unknown state. The folder keeps every
// entry file whole, and applying the messages that were not applied again gives the same entry
// names.
bool apply_plans(Folder& folder, WorklistIndex& index, const std::vector<const MessagePlan*>& plans,
                 std::vector<MessageResult>& results, std::string& error);

