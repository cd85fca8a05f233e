// hl7mwld serve: the MLLP receiver.
#pragma once

#include "mwld/command_line.h"

// Serves until SIGTERM or SIGINT; returns the process's exit status.
int run_serve(const CommandLine& line);
