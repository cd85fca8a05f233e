// hl7mwld's command line: its subcommands and options, read with CLI11.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mwld/entry.h"
#include "mwld/listing.h"

enum class Command { apply, show, serve, list, expire };

// An IP address as 16 bytes: IPv6, or IPv4 as IPv4-mapped IPv6 (::ffff:a.b.c.d), the form in
// which a dual-stack socket reports IPv4 peers.
using AddressBytes = std::array<unsigned char, 16>;

// A network of --allow: the addresses whose first `bits` bits are those of `address`. An IPv4
// network a.b.c.d/n is held as ::ffff:a.b.c.d/96+n.
struct Network {
  AddressBytes address{};
  unsigned bits = 0;
};

struct CommandLine {
  Command command = Command::apply;
  std::string worklist;            // apply, serve, list, expire
  std::vector<std::string> files;  // apply, show; "-" is standard input
  StationAets stations;
  std::string listen = "127.0.0.1:2575";  // serve
  std::size_t max_message = 1 << 20;
  unsigned idle_timeout = 300;  // seconds
  std::size_t max_connections = 64;
  std::size_t max_connections_per_peer = 8;  // from one address
  std::vector<Network> allow;                // serve; empty: every address
  std::size_t max_entries = 100;  // apply, show, serve: entries or order groups per message
  bool quiet = false;
  std::string profile;        // --profile FILE; empty: none
  bool show_mapping = false;  // show --mapping
  // apply and serve --expire-after, expire --older-than; nothing: entries never expire.
  std::optional<std::chrono::seconds> expire_after;
  bool dry_run = false;  // expire
  ListFilter filter;     // list
  // The long options given on the command line ("--station-aet"), which win over the profile.
  std::vector<std::string> given;
  // What only a profile sets: the mapping's sources and modality codes, UTF-8 entries, long
  // identifiers refused.
  std::map<std::string, std::vector<Source>> sources;
  std::vector<std::pair<std::string, std::string>> modalities;
  bool utf8 = false;
  bool refuse_long_identifiers = false;
};

// Cuts a --listen value into its host and port: "HOST:PORT", or "[IPV6]:PORT"; HOST is not
// empty and holds no ":" unless bracketed, PORT is a number from 0 to 65535 (0: any free port).
// False for any other form.
bool split_listen_address(const std::string& address, std::string& host, std::string& port);

// Reads an --allow value, "ADDR" or "ADDR/BITS" (IPv4 or IPv6; without BITS the one address),
// into `network`. An empty text when it is one, else what is wrong with it: not an address,
// BITS not from 0 to 32 (IPv4) or 128 (IPv6), or bits of the address set beyond BITS.
std::string read_network(const std::string& value, Network& network);

// The network as its --allow value: "10.0.0.0/8", "::1/128".
std::string network_text(const Network& network);

// True when `address` lies in `network`.
bool in_network(const Network& network, const AddressBytes& address);

// Reads the --station-aet values, "[MODALITY=]AET" each, into `stations`; an empty text when
// they are valid, else what is wrong, after `label` and the value.
std::string read_stations(const std::vector<std::string>& values, StationAets& stations,
                          std::string_view label);

// Reads the profile `line.profile` names, if any, into `line`: each setting it has that the
// command line did not give. False with the profile's error ("FILE:LINE:COLUMN: ...").
bool apply_profile(CommandLine& line, std::string& error);

// The mapping options of `line` for a message arriving at `now`.
MappingOptions mapping_options_of(const CommandLine& line, std::time_t now);

// Reads the arguments into `line`. Returns -1 to go on, or the status to end with at once:
// 0 after --help or --version, 2 after a usage error (its message already written to
// standard error).
int parse_command_line(int argc, char** argv, CommandLine& line);
