// The subcommands, their options and the checks of option values.
#include "mwld/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <asio/ip/address.hpp>
#include <charconv>
#include <cstdio>
#include <type_traits>

#include "mwld/expiry.h"
#include "mwld/profile.h"
#include "mwld/values.h"

namespace {

// The bits of "::ffff:" before an IPv4 address in IPv6.
constexpr unsigned kMappedBits = 96;

// `address` with every bit after the first `bits` cleared.
AddressBytes masked(AddressBytes address, unsigned bits) {
  for (unsigned bit = bits; bit < address.size() * 8; ++bit) {
    address[bit / 8] &= static_cast<unsigned char>(~(0x80u >> (bit % 8)));
  }
  return address;
}

// A usage error found after CLI11's parse, worded and ended as CLI11 ends its own.
int usage_error(const std::string& problem) {
  std::fprintf(stderr, "%s\nRun with --help for more information.\n", problem.c_str());
  return 2;
}

void add_max_entries_option(CLI::App& command, std::size_t& value) {
  command
      .add_option("--max-entries", value,
                  "Refuse a message that would write more entries, or that holds more order "
                  "groups, than N (default 100)")
      ->type_name("N")
      ->check(CLI::PositiveNumber);
}

void add_profile_option(CLI::App& command, std::string& path) {
  command
      .add_option("--profile", path,
                  "The site's profile (TOML): sources of the mapping, modality codes, station AE "
                  "titles, options; the command line's options win over it")
      ->type_name("FILE");
}

void add_expire_option(CLI::App& command, std::string& value) {
  command
      .add_option("--expire-after", value,
                  "Remove entries whose Scheduled Procedure Step start lies more than DURATION in "
                  "the past (twice as long when STARTED): 90m, 36h, 7d (default: never)")
      ->type_name("DURATION");
}

void add_worklist_option(CLI::App& command, std::string& path) {
  command.add_option("--worklist", path, "The folder of worklist files")
      ->required()
      ->type_name("DIR");
}

void add_station_option(CLI::App& command, std::vector<std::string>& values) {
  command
      .add_option("--station-aet", values,
                  "Scheduled Station AE Title: MODALITY=AET for entries of that modality, AET for "
                  "all others (default ANY); may repeat")
      ->allow_extra_args(false)
      ->type_name("[MODALITY=]AET");
}

}  // namespace

std::string read_stations(const std::vector<std::string>& values, StationAets& stations,
                          std::string_view label) {
  stations = {};
  bool other_given = false;
  for (const std::string& value : values) {
    const std::string named = std::string(label) + value;
    const std::size_t equals = value.find('=');
    const std::string_view given =
        std::string_view(value).substr(equals == value.npos ? 0 : equals + 1);
    // Blanks around an AE title are DICOM's padding.
    const std::string title(trimmed(given));
    if (!is_ae_title(title)) return named + ": an AE title has 1 to 16 characters, no \"\\\"";
    if (equals == value.npos) {
      if (other_given) return named + ": a second AE title for all modalities";
      other_given = true;
      stations.other = title;
      continue;
    }
    const std::string modality = code_string(value.substr(0, equals));
    if (modality.empty()) return named + ": no modality before \"=\"";
    for (const auto& [known, ae_title] : stations.by_modality) {
      if (known == modality) return named + ": a second AE title for " + modality;
    }
    stations.by_modality.emplace_back(modality, title);
  }
  return {};
}

bool split_listen_address(const std::string& address, std::string& host, std::string& port) {
  const std::size_t colon = address.rfind(':');
  if (colon == address.npos) return false;
  host = address.substr(0, colon);
  port = address.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find_first_of("[]:") != host.npos) {
    return false;
  }
  unsigned number = 0;
  const char* const end = port.data() + port.size();
  const auto [stop, problem] = std::from_chars(port.data(), end, number);
  return !host.empty() && !port.empty() && port.front() != '-' && problem == std::errc() &&
         stop == end && number <= 65535;
}

std::string read_network(const std::string& value, Network& network) {
  const std::size_t slash = value.find('/');
  asio::error_code failure;
  const asio::ip::address address = asio::ip::make_address(value.substr(0, slash), failure);
  if (failure) return "not an IPv4 or IPv6 address, alone or with /BITS";
  const unsigned most = address.is_v4() ? 32 : 128;
  unsigned bits = most;
  if (slash != value.npos) {
    const char* const begin = value.data() + slash + 1;
    const char* const end = value.data() + value.size();
    const auto [stop, problem] = std::from_chars(begin, end, bits);
    if (begin == end || stop != end || problem != std::errc() || bits > most) {
      return "BITS is a number from 0 to " + std::to_string(most);
    }
  }
  network.address = address.is_v4()
                        ? asio::ip::make_address_v6(asio::ip::v4_mapped, address.to_v4()).to_bytes()
                        : address.to_v6().to_bytes();
  network.bits = address.is_v4() ? kMappedBits + bits : bits;
  const AddressBytes prefix = masked(network.address, network.bits);
  if (prefix != network.address) {
    return "bits set beyond the first " + std::to_string(bits) + "; the network is " +
           network_text({prefix, network.bits});
  }
  return {};
}

std::string network_text(const Network& network) {
  const asio::ip::address_v6 address(network.address);
  if (address.is_v4_mapped() && network.bits >= kMappedBits) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address).to_string() + '/' +
           std::to_string(network.bits - kMappedBits);
  }
  return address.to_string() + '/' + std::to_string(network.bits);
}

bool in_network(const Network& network, const AddressBytes& address) {
  return masked(address, network.bits) == masked(network.address, network.bits);
}

bool apply_profile(CommandLine& line, std::string& error) {
  if (line.profile.empty()) return true;
  Profile profile;
  if (!read_profile(line.profile, profile, error)) return false;
  auto given = [&line](std::string_view option) {
    return std::find(line.given.begin(), line.given.end(), option) != line.given.end();
  };
  // A setting of the profile, unless the command line gave its option.
  auto unless_given = [&given](std::string_view option, const auto& setting, auto& value) {
    if (setting && !given(option))
      value = static_cast<std::remove_reference_t<decltype(value)>>(*setting);
  };
  line.sources = profile.sources;
  line.modalities = profile.modalities;
  line.utf8 = profile.utf8.value_or(false);
  line.refuse_long_identifiers = profile.refuse_long_identifiers.value_or(false);
  unless_given("--max-entries", profile.max_entries, line.max_entries);
  unless_given("--listen", profile.listen, line.listen);
  unless_given("--max-message", profile.max_message, line.max_message);
  unless_given("--idle-timeout", profile.idle_timeout, line.idle_timeout);
  unless_given("--max-connections", profile.max_connections, line.max_connections);
  unless_given("--max-connections-per-peer", profile.max_connections_per_peer,
               line.max_connections_per_peer);
  unless_given("--quiet", profile.quiet, line.quiet);
  // The profile's value was checked as it was read.
  std::chrono::seconds duration{};
  if (profile.expire_after && !given("--expire-after") &&
      read_duration(*profile.expire_after, duration)) {
    line.expire_after = duration;
  }
  const std::string label = line.profile + ": ";
  if (profile.station_aets && !given("--station-aet")) {
    error = read_stations(*profile.station_aets, line.stations, label + "[station_aet] ");
    if (!error.empty()) return false;
  }
  if (profile.allow && !given("--allow")) {
    line.allow.clear();
    for (const std::string& value : *profile.allow) {
      Network network;
      error = read_network(value, network);
      if (!error.empty()) {
        error = label + "[serve] allow " + value + ": " + error;
        return false;
      }
      line.allow.push_back(network);
    }
  }
  std::string host;
  std::string port;
  if (!split_listen_address(line.listen, host, port)) {
    error = label + "[serve] listen " + line.listen +
            ": HOST:PORT or [IPV6]:PORT, the port from 0 to 65535";
    return false;
  }
  return true;
}

MappingOptions mapping_options_of(const CommandLine& line, std::time_t now) {
  MappingOptions options = mapping_options(line.stations, line.max_entries, now);
  options.sources = line.sources;
  options.modalities = line.modalities;
  options.utf8 = line.utf8;
  options.refuse_long_identifiers = line.refuse_long_identifiers;
  return options;
}

int parse_command_line(int argc, char** argv, CommandLine& line) {
  CLI::App app{"hl7mwld: HL7 order and patient messages into a folder of DICOM worklist files",
               "hl7mwld"};
  // CLI11 reads "/name" as an option on Windows; here it is a path on every system, as in
  // "--worklist /srv/worklists/CT".
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", std::string("hl7mwld ") + HL7MWL_VERSION);
  app.require_subcommand(1);
  std::vector<std::string> stations;
  std::vector<std::string> networks;
  std::string expire_after;
  std::string dates;

  CLI::App* apply = app.add_subcommand(
      "apply",
      "Apply the order and ADT messages of FILEs to the worklist folder; print what changed");
  add_worklist_option(*apply, line.worklist);
  add_profile_option(*apply, line.profile);
  add_station_option(*apply, stations);
  add_max_entries_option(*apply, line.max_entries);
  add_expire_option(*apply, expire_after);
  apply->add_option("FILE", line.files, "HL7 message files; - is standard input")->required();

  CLI::App* show = app.add_subcommand(
      "show", "Print the entries the messages of FILEs would write, and change nothing");
  add_profile_option(*show, line.profile);
  add_station_option(*show, stations);
  add_max_entries_option(*show, line.max_entries);
  show->add_flag("--mapping", line.show_mapping,
                 "Print the mapping table in force (attribute, tag, sources) instead");
  show->add_option("FILE", line.files, "HL7 message files; - is standard input");

  CLI::App* serve = app.add_subcommand(
      "serve",
      "Receive order and ADT messages over MLLP, acknowledge them and keep the worklist current");
  add_worklist_option(*serve, line.worklist);
  serve->add_option("--listen", line.listen, "Address to listen on (default 127.0.0.1:2575)")
      ->type_name("HOST:PORT")
      ->check(
          [](const std::string& value) {
            std::string host;
            std::string port;
            return split_listen_address(value, host, port)
                       ? std::string()
                       : "HOST:PORT or [IPV6]:PORT, the port from 0 to 65535";
          },
          "HOST:PORT");
  serve
      ->add_option("--allow", networks,
                   "Accept connections only from this network (IPv4 or IPv6, BITS omitted: the "
                   "one address); may repeat (default: every address)")
      ->allow_extra_args(false)
      ->type_name("ADDR[/BITS]");
  add_profile_option(*serve, line.profile);
  add_station_option(*serve, stations);
  add_max_entries_option(*serve, line.max_entries);
  add_expire_option(*serve, expire_after);
  serve->add_option("--max-message", line.max_message, "Longest message (default 1048576)")
      ->type_name("BYTES")
      ->check(CLI::PositiveNumber);
  serve
      ->add_option("--idle-timeout", line.idle_timeout,
                   "Close a connection that sends no message for this long (default 300)")
      ->type_name("SECONDS")
      ->check(CLI::PositiveNumber);
  serve
      ->add_option("--max-connections", line.max_connections,
                   "Connections served at once (default 64)")
      ->type_name("N")
      ->check(CLI::PositiveNumber);
  serve
      ->add_option("--max-connections-per-peer", line.max_connections_per_peer,
                   "Connections served at once from one address (default 8)")
      ->type_name("N")
      ->check(CLI::PositiveNumber);
  serve->add_flag("--quiet", line.quiet, "Log only refusals, errors and AR and AE answers");

  CLI::App* list = app.add_subcommand(
      "list",
      "Print the worklist's entries, one tab-separated line each: file, patient ID, name, "
      "accession, RP ID, SPS ID, modality, station AE title, start, status");
  add_worklist_option(*list, line.worklist);
  list->add_option("--patient", line.filter.patient_id, "Only the entries of this Patient ID")
      ->type_name("ID");
  list->add_option("--order", line.filter.order_number,
                   "Only the entries of this placer or filler order number")
      ->type_name("NUMBER");
  list->add_option("--accession", line.filter.accession_number,
                   "Only the entries of this Accession Number")
      ->type_name("N");
  list->add_option("--date", dates,
                   "Only the entries whose SPS start date is FROM, or from FROM to TO (YYYYMMDD)")
      ->type_name("FROM[-TO]");

  CLI::App* expire = app.add_subcommand(
      "expire", "Remove the entries whose SPS start lies more than DURATION in the past");
  add_worklist_option(*expire, line.worklist);
  expire
      ->add_option("--older-than", expire_after,
                   "90m, 36h, 7d: a STARTED entry is kept twice as long")
      ->required()
      ->type_name("DURATION");
  expire->add_flag("--dry-run", line.dry_run, "Print what would be removed; change nothing");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // CLI11 reports a missing subcommand before the arguments it did not know, the first of
    // which is the problem when there are any: "hl7mwld --bogus", "hl7mwld aply FILE".
    if (app.get_subcommands().empty() && !app.remaining().empty()) {
      return usage_error("Not a subcommand or option: " + app.remaining().front());
    }
    const int status = app.exit(e);
    return status == 0 ? 0 : 2;
  }
  const std::pair<CLI::App*, Command> commands[] = {{apply, Command::apply},
                                                    {show, Command::show},
                                                    {serve, Command::serve},
                                                    {list, Command::list},
                                                    {expire, Command::expire}};
  CLI::App* used = apply;
  for (const auto& [command, name] : commands) {
    if (command->parsed()) {
      used = command;
      line.command = name;
    }
  }
  for (const CLI::Option* option : used->get_options()) {
    if (option->count() > 0 && !option->get_lnames().empty()) {
      line.given.push_back("--" + option->get_lnames().front());
    }
  }
  if (line.command == Command::show && line.files.empty() && !line.show_mapping) {
    return usage_error("FILE is required");
  }
  if (!expire_after.empty()) {
    std::chrono::seconds duration{};
    if (!read_duration(expire_after, duration)) {
      const char* option = line.command == Command::expire ? "--older-than " : "--expire-after ";
      return usage_error(option + expire_after + ": " + kDurationForm);
    }
    line.expire_after = duration;
  }
  if (!dates.empty()) {
    const std::string wrong = read_date_range(dates, line.filter);
    if (!wrong.empty()) return usage_error("--date " + dates + ": " + wrong);
  }
  const std::string problem = read_stations(stations, line.stations, "--station-aet ");
  if (!problem.empty()) return usage_error(problem);
  for (const std::string& value : networks) {
    Network network;
    const std::string wrong = read_network(value, network);
    if (!wrong.empty()) return usage_error("--allow " + value + ": " + wrong);
    line.allow.push_back(network);
  }
  return -1;
}
