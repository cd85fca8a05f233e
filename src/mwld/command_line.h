// hl7mwld's command line: its subcommands and options, read with CLI11.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "mwld/entry.h"

enum class Command { apply, show, serve };

struct CommandLine {
  Command command = Command::apply;
  std::string worklist;            // apply, serve
  std::vector<std::string> files;  // apply, show; "-" is standard input
  StationAets stations;
  std::string listen = "127.0.0.1:2575";  // serve
  std::size_t max_message = 1 << 20;
  unsigned idle_timeout = 300;  // seconds
  std::size_t max_connections = 64;
  std::size_t max_entries = 100;  // apply, show, serve: entries or order groups per message
  bool quiet = false;
};

// Cuts a --listen value into its host and port: "HOST:PORT", or "[IPV6]:PORT"; HOST is not
// empty and holds no ":" unless bracketed, PORT is a number from 0 to 65535 (0: any free port).
// False for any other form.
bool split_listen_address(const std::string& address, std::string& host, std::string& port);

// Reads the arguments into `line`. Returns -1 to go on, or the status to end with at once:
// 0 after --help or --version, 2 after a usage error (its message already written to
// standard error).
int parse_command_line(int argc, char** argv, CommandLine& line);
