// Why a message is refused: a reason naming the HL7 field, and the HL7 error it is.
#pragma once

#include <exception>
#include <optional>
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
  std::string text;       // e.g. "PID-3 is empty"
  std::string segment;    // the segment it names, e.g. "PID"; empty when none
  int field = 0;          // the field it names; 0 when none
  bool internal = false;  // a fault of hl7mwld's own, not of the message
};

// Runs `work`. An exception escaping it (a fault of hl7mwld's own, or memory exhausted) is
// returned as an internal rejection, code 207, "internal error: <what>"; nothing when none
// escapes. The one place exceptions are caught: around one message, so that it cannot take the
// other messages of a run or a server with it.
template <typename Work>
std::optional<Rejection> guarded(Work&& work) {
  try {
    work();
    return std::nullopt;
  } catch (const std::exception& exception) {
    return Rejection{kApplicationInternalError, std::string("internal error: ") + exception.what(),
                     "", 0, true};
  } catch (...) {
    return Rejection{kApplicationInternalError, "internal error", "", 0, true};
  }
}
