// Changing an entry file in place: its patient's new attributes, its step started. Its file
// name and UIDs stay, since they belong to the order.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "mwld/plan.h"

// What a change made of an entry file.
struct ChangedEntry {
  std::optional<std::string> bytes;  // the new file; nothing when nothing changed
  std::string problem;               // why the entry could not be changed; empty when it could
};

// The entry file `bytes` with the patient attributes of `step`, and its visit attributes when
// `same_visit`. Text of another character set than the entry's is written as the entry
// declares it: an entry in ASCII takes the message's set; Latin-1 beside UTF-8 makes the whole
// entry UTF-8. An entry read in Implicit VR is written in Explicit VR, the VRs the mapping table
// gives.
ChangedEntry updated_entry(std::string_view bytes, const PatientStep& step, bool same_visit);

// The entry file `bytes` with its Scheduled Procedure Step's status STARTED.
ChangedEntry started_entry(std::string_view bytes);
