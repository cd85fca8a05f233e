// The argument grammar, tried row by row for each argument, and the texts it prints.
#include "arguments.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "messages.h"
#include "platform.h"

DriverState driver_state;

namespace {

constexpr std::string_view kVersion = "2.0.30";
// The texts keep the shape of the lines they print.
// clang-format off
constexpr std::string_view kVersionText =
    "%s %s - " __DATE__ " " __TIME__ "\n"
    "Written by " HL7MWL_AUTHOR "\n"
    "Email: " HL7MWL_EMAIL "\n";

constexpr std::string_view kUsageText =
    "\n"
    "NAME\n"
    "\t%s\n"
    "\n"
    "SYNOPSYS\n"
    "\t%s file-in file-out [OPTIONS]\n"
    "\n"
    "DESCRIPTION\n"
    "\t%s converts HL7 files to DICOM dump\n"
    "\n"
    "PARAMETERS\n"
    "\tfile-in \tHL7 file\n"
    "\tfile-out\tDICOM dump file\n"
    "\n"
    "OPTIONS\n"
    "\t-V\tVersion\n"
    "\t-v\tVerbose\n"
    "\t-q\tQuiet\n"
    "\t-h\tHelp\n";
// clang-format on

// The directory, file-name and extension buffers each hold 255 bytes and a terminating zero.
constexpr std::size_t kPartLimit = 256;

// Fills each "%s" of `format` with the next of `values`, in one pass, so that a "%" inside a
// value is never read as a directive.
std::string fill(std::string_view format, std::initializer_list<std::string_view> values) {
  std::string text;
  auto value = values.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format.substr(i, 2) == "%s" && value != values.end()) {
      text += *value++;
      ++i;
    } else {
      text += format[i];
    }
  }
  return text;
}

[[noreturn]] void exit_after(void (*print)(), int status) {
  print();
  std::exit(status);
}

}  // namespace

std::string program_name_from(const std::string& argv0) {
  std::size_t start = 0;
  if (argv0.size() >= 2 && argv0[1] == ':' && !is_lead_byte(argv0[0])) start = 2;
  const std::size_t directory_start = start;
  std::size_t name_start = start;
  std::size_t last_dot = std::string::npos;
  for (std::size_t i = start; i < argv0.size(); ++i) {
    const char c = argv0[i];
    if (is_lead_byte(c)) {
      ++i;  // the second byte of a double-byte character is never a separator or a '.'
    } else if (c == '/' || c == '\\') {
      name_start = i + 1;
    } else if (c == '.') {
      last_dot = i;
    }
  }
  const std::size_t name_end =
      last_dot != std::string::npos && last_dot >= name_start ? last_dot : argv0.size();
  const std::size_t directory_length = name_start - directory_start;
  const std::size_t name_length = name_end - name_start;
  const std::size_t extension_length = argv0.size() - name_end;
  if (directory_length >= kPartLimit || name_length >= kPartLimit ||
      extension_length >= kPartLimit) {
    return std::string();
  }
  return argv0.substr(name_start, name_length);
}

void print_usage() {
  const std::string& name = driver_state.program_name;
  write_message(fill(kUsageText, {name, name, name}));
}

void print_version() { write_message(fill(kVersionText, {driver_state.program_name, kVersion})); }

void parse_arguments(int argc, char** argv) {
  driver_state.program_name = program_name_from(argc > 0 && argv[0] ? argv[0] : "");
  if (argc < 2) exit_after(print_usage, 1);

  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const char flag = argument.size() > 1 ? argument[1] : '\0';
    if (argument.starts_with('?')) exit_after(print_usage, 1);
    if (argument.starts_with('-')) {
      if (flag == 'V') exit_after(print_version, 0);
      if (flag == 'h') exit_after(print_usage, 0);
      if (flag == 'q') {
        write_message("Quiet\n");
        continue;
      }
      if (flag == 'v') {
        driver_state.verbose = true;
        write_message("Verbose\n");
        continue;
      }
      exit_with(1, "Illegal flag '" + argument.substr(1) + "'\n");
    }
    if (!driver_state.input_path) {
      if (!path_exists(argument)) exit_with(1, error_report(argument, errno));
      driver_state.input_path = argument;
    } else if (!driver_state.output_path) {
      driver_state.output_path = argument;
    }
    // Further file arguments are ignored, untested.
  }

  if (!driver_state.input_path) exit_with(1, "ERROR: HL7 file not specified\n");
  if (!driver_state.output_path) exit_with(1, "ERROR: output file not specified\n");
  if (driver_state.verbose) {
    write_message("in file:  " + *driver_state.input_path + "\n");
    write_message("out file: " + *driver_state.output_path + "\n");
  }
  std::fflush(stdout);
  std::fflush(stderr);
}
