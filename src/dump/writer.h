// The DICOM dump writer: the modality worklist entry for a message, as dump text.
#pragma once

#include <cstdio>

#include "hl7/segment.h"

// The segments the dump is made from: the last PID, PV1 and OBR of the message, each kind on
// its own; nullptr where the message has none of that kind.
struct Selection {
  const Segment* pid = nullptr;
  const Segment* pv1 = nullptr;
  const Segment* obr = nullptr;
};

// Picks the last PID, PV1 and OBR of `message` by exact, case-sensitive ID. Segments without
// elements are passed over.
Selection select_segments(const SegmentList& message = segment_list);

// Writes the 18 to 24 dump lines for the `selected` segments to `output`, each ended by CR LF
// and flushed. A missing segment, field or component reads as empty text. Reports nothing; the
// caller checks the stream with ferror. `output` should be in binary mode.
void write_dump(std::FILE* output, const Selection& selected = select_segments());
