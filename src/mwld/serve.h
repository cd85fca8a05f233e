// hl7mwld serve: the MLLP receiver.
#pragma once

#include "mwld/command_line.h"

// Serves with `line` until SIGTERM or SIGINT; returns the process's exit status. On SIGHUP it
// reads the profile again onto `given` (the command line as given, before the profile): a good
// profile applies from the next message on, a bad one is logged and the settings stay.
int run_serve(const CommandLine& line, const CommandLine& given);
