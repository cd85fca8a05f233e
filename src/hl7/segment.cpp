// The process-wide message and the bounds-checked accessors into it.
#include "hl7/segment.h"

SegmentList segment_list;

namespace {
const std::string kEmpty;
}  // namespace

const std::string& field(const Segment& segment, std::size_t index) {
  return index < segment.size() ? segment[index] : kEmpty;
}

const std::string& component(const std::vector<std::string>& components, std::size_t number) {
  return number >= 1 && number <= components.size() ? components[number - 1] : kEmpty;
}
