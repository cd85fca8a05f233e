// The command line: its grammar, the usage and version texts, and the driver state.
#pragma once

#include <optional>
#include <string>

// What the command line set. One instance lives for the whole process; only parse_arguments
// writes it.
struct DriverState {
  std::string program_name;                // argv[0] without directory and extension
  std::optional<std::string> input_path;   // set only once the path was found to exist
  std::optional<std::string> output_path;  // taken without any test
  bool verbose = false;                    // -v seen: echo both paths at the end of parsing
};

extern DriverState driver_state;

// The file-name part of `argv0`: after an optional drive ("C:") and the last '/' or '\',
// before the last '.' of that part. Empty when the directory, name or extension would not fit
// in 255 bytes.
std::string program_name_from(const std::string& argv0);

// Reads the arguments from left to right and returns only with both paths set. Prints the
// usage or version text, "Quiet", "Verbose" and every command-line error itself, and ends the
// process on usage, version and errors: status 0 for -V and -h, 1 otherwise.
void parse_arguments(int argc, char** argv);

// Writes the usage text to standard error.
void print_usage();

// Writes the version text to standard error.
void print_version();
