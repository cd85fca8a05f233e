// The HL7 acknowledgement hl7mwld sends for each frame: MSH, MSA and, for an error, ERR.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

#include "mwld/message.h"
#include "mwld/rejection.h"

// MSA-1 by HL7 table 0008: AA applied or ignored; AR rejected for a reason unrelated to the
// message's content (a message type not taken, a folder or disk error, an internal error: the
// sender decides whether to resend); AE an error in the message, which the sender must correct.
enum class AckCode { accept, reject, error };

// What the acknowledgement says of a message.
struct Answer {
  AckCode code = AckCode::accept;
  Rejection reason;          // reject, error: MSA-3 and the ERR segment
  std::size_t sequence = 0;  // which of the segments `reason` names, from 1; 0 when unknown
};

// MSA-1 for `code`: "AA", "AR" or "AE".
std::string_view ack_code_text(AckCode code);

// When and under which control ID the acknowledgement is sent: MSH-7 (YYYYMMDDHHMMSS+ZZZZ)
// and MSH-10.
struct AckStamp {
  std::string time;
  std::string control_id;
};

// The text of HL7 table 0357 for `code`, e.g. "Required field missing"; empty for a code
// hl7mwld does not use.
std::string_view error_code_text(int code);

// The acknowledgement of the message whose MSH segment is `msh` (as split_messages reads it),
// segments ended by CR, always one well-formed frame's content. It uses the message's separators
// (any that MSH-2 does not declare taken from "^~\&", or another free character when that one is
// taken), or "|^~\&" when they are unusable (a control or non-ASCII byte, a blank, a letter or
// digit, one character declared twice); swaps sending and receiving application and facility;
// echoes MSH-11, MSH-12 and MSH-18; MSH-9 is ACK^<trigger>^ACK, or ACK when MSH-9.2 is empty. MSA-2
// is MSH-10; MSA-3 the reason, escaped. Echoed values keep the delimiters the message and the
// acknowledgement share, escape the acknowledgement's other delimiters, and write control
// characters as hex escapes (\X1C\). For reject and error,
// an ERR segment laid out for MSH-12: before 2.5 ERR-1 (location and code), else (2.5 on, or no
// version) ERR-2 location, ERR-3 code and ERR-4 severity E. Empty fields at a segment's end are
// left out. `msh` nullptr (no readable MSH): the message is taken as "MSH|^~\&" of version 2.5,
// processing ID P, with nothing else.
std::string acknowledgement(const Fields* msh, const Separators& separators, const Answer& answer,
                            const AckStamp& stamp);

// An instant as an HL7 time with its offset from UTC, YYYYMMDDHHMMSS+HHMM or -HHMM: `local`
// gives the digits, the difference from `utc` (the same instant in UTC) the offset.
std::string hl7_time(const std::tm& local, const std::tm& utc);
