// The in-memory message: one Segment per input line, and safe access to its parts.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The elements of one input line cut at "|". Element 0 is the segment ID; for every segment
// but MSH, element n is HL7 field n. An empty line gives a Segment with no elements.
using Segment = std::vector<std::string>;

// All Segments of the message, one per input line, in file order, empty ones included.
using SegmentList = std::vector<Segment>;

// The message of this process: filled once by read_message, read by write_dump.
extern SegmentList segment_list;

// Element `index` of `segment` (field `index` for PID, PV1 and OBR); empty text when the
// segment is shorter. Never reads out of bounds.
const std::string& field(const Segment& segment, std::size_t index);

// Component `number` of a component list, counted from 1 as HL7 counts (OBR-4.2 is
// component(list, 2)); empty text when the list is shorter or `number` is 0.
const std::string& component(const std::vector<std::string>& components, std::size_t number);
