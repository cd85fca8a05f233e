// hl7mwl: converts one HL7 order message into the DICOM dump of a modality worklist entry.
#include <cerrno>
#include <cstdio>

#include "arguments.h"
#include "dump/writer.h"
#include "hl7/reader.h"
#include "messages.h"
#include "platform.h"

namespace {

[[noreturn]] void fail_on(const std::string& path) { exit_with(1, error_report(path, errno)); }

// Reads the whole input into the process's message, or ends the process with the reason.
void read_input(const std::string& path) {
  // The program applies the text-mode rules itself, so both builds read the same bytes.
  std::FILE* input = std::fopen(path.c_str(), "rb");
  if (!input) fail_on(path);
  if (!read_message(input, !is_character_device(path))) fail_on(path);
  std::fclose(input);
}

// The segments of the dump; refuses, before the output is touched, a message without them.
Selection check_message() {
  const Selection selected = select_segments();
  if (!selected.pid) exit_with(1, "ERROR: no PID segment in HL7 file\n");
  if (!selected.obr) exit_with(1, "ERROR: no OBR segment in HL7 file\n");
  return selected;
}

void write_output(const std::string& path, const Selection& selected) {
  std::FILE* output = std::fopen(path.c_str(), "wb");
  if (!output) fail_on(path);
  write_dump(output, selected);
  if (std::ferror(output)) fail_on(path);
  if (std::fclose(output) != 0) fail_on(path);
}

}  // namespace

int main(int argc, char** argv) {
  use_binary_stderr();
  parse_arguments(argc, argv);
  read_input(*driver_state.input_path);
  const Selection selected = check_message();
  write_output(*driver_state.output_path, selected);
  return 0;
}
