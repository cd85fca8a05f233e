// Applying planned messages to the worklist folder, in order, as one durable change.
#pragma once

#include <string>
#include <vector>

#include "mwld/folder.h"
#include "mwld/plan.h"

enum class Outcome { created, replaced, removed, ignored, rejected };

// One line of what happened: an entry created, replaced or removed, or a message that changed
// nothing.
struct OutcomeLine {
  Outcome outcome;
  std::string entry_name;  // empty for ignored and rejected
  std::string reason;      // empty when there is nothing to say
};

// What one message did.
struct MessageResult {
  std::vector<OutcomeLine> lines;
  std::size_t entries_changed = 0;
};

// The word of an outcome in the output: "created", "replaced", ...
const char* outcome_word(Outcome outcome);

// Applies `plans` to `folder` in their order, holding its lock, and makes every change durable
// before it returns: a later message sees what an earlier one did. Cancels remove every entry
// hl7mwld wrote whose order numbers match; an entry they cannot read is named in their
// line ("entry NAME could not be read"). `results` gets one MessageResult per plan. On a
// folder or disk error nothing of the batch may be durable: returns false with the error and
// no results, and the folder keeps every entry file whole.
bool apply_plans(Folder& folder, const std::vector<const MessagePlan*>& plans,
                 std::vector<MessageResult>& results, std::string& error);
