// Reads an HL7 message, one segment per line, into a SegmentList.
#pragma once

#include <cstdio>

#include "hl7/segment.h"

// Reads `input` to its end and appends one Segment per line to `message`, each line cut at "|".
// Lines end at LF; a CR right before an LF is dropped, every other CR is kept; a last line
// without LF counts like the others. When `eof_byte_ends_input` is set, the first 0x1A byte ends
// the input, as it does for a file on disk. Returns false when a read error stopped it (errno
// then tells why); the lines read before the error are kept. `input` should be in binary mode.
bool read_message(std::FILE* input, bool eof_byte_ends_input = true,
                  SegmentList& message = segment_list);
