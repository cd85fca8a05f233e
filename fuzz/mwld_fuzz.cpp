// Fuzzes hl7mwld's path from bytes to files: splitting, planning, mapping and encoding. Every
// file written reads back, holds exactly the planned values, and no value holds a character
// DICOM reserves.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mwld/message.h"
#include "mwld/plan.h"
#include "plan_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  MappingOptions options;
  options.date = "20261207";
  options.time = "120000";
  for (const Message& message : split_messages(bytes).messages) {
    check_plan(plan_message(message, options));
  }
  return 0;
}
