// Patient messages (ADT): which events change the worklist and how, and their plans.
#pragma once

#include <string>

#include "mwld/entry.h"
#include "mwld/message.h"
#include "mwld/plan.h"

// True for every ADT message: those whose event changes entries, and the rest, which change
// nothing, so that a whole ADT feed can be sent to hl7mwld.
bool is_patient_message_type(const std::string& message_type);

// Plans the ADT `message` into `plan`: for an update (A01-A08, A11-A13, A31) one step for the
// PID's patient; for a merge (A18, A30, A34, A36, A39, A40) or an identifier change (A47) one
// step for each MRG, the patient of the PID before it surviving. Any other event gets no step
// and a reason. Sets `plan.rejection` for a message without PID, a merge without MRG, no patient
// identity or no prior one, and a value that cannot be written.
void plan_patient_message(const Message& message, const MappingOptions& options,
                          const CharacterSet& character_set, MessagePlan& plan);
