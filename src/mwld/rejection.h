// Why a message is refused: a reason naming the HL7 field, and the HL7 error it is.
#pragma once

#include <string>

// Error codes of HL7 table 0357 that hl7mwld answers with.
constexpr int kSegmentSequenceError = 100;
constexpr int kRequiredFieldMissing = 101;
constexpr int kDataTypeError = 102;
constexpr int kTableValueNotFound = 103;
constexpr int kUnsupportedMessageType = 200;
constexpr int kApplicationInternalError = 207;

struct Rejection {
  int code = kApplicationInternalError;
  std::string text;     // e.g. "PID-3 is empty"
  std::string segment;  // the segment it names, e.g. "PID"; empty when none
  int field = 0;        // the field it names; 0 when none
};
