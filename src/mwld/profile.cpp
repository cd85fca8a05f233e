// Reading a profile with toml++, the one file that includes it: built without exceptions, so
// that every problem comes back as a value with its place in the file.
#include "mwld/profile.h"

#include <cerrno>
#include <cstring>
#include <string_view>

#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "hl7/read_chunks.h"
#include "mwld/command_line.h"
#include "mwld/entry.h"
#include "mwld/expiry.h"
#include "mwld/values.h"

namespace {

// A problem at `node`'s place in the file.
struct Problem {
  const toml::source_region* where;
  std::string what;
};

std::string place(const std::string& path, const toml::source_region& region) {
  return path + ":" + std::to_string(region.begin.line) + ":" + std::to_string(region.begin.column);
}

// "one of A, B" for a list of accepted texts.
std::string one_of(std::initializer_list<std::string_view> texts) {
  std::string list;
  for (const std::string_view text : texts) list += (list.empty() ? "" : ", ") + std::string(text);
  return list;
}

std::optional<Problem> read_choice(const toml::node& node, std::string_view key,
                                   std::string_view yes, std::string_view no,
                                   std::optional<bool>& setting) {
  const std::optional<std::string_view> text = node.value<std::string_view>();
  if (text == yes || text == no) {
    setting = text == yes;
    return std::nullopt;
  }
  return Problem{&node.source(), std::string(key) + " is \"" + std::string(yes) + "\" or \"" +
                                     std::string(no) + "\""};
}

std::optional<Problem> read_count(const toml::node& node, std::string_view key,
                                  std::optional<std::uint64_t>& setting) {
  const std::optional<std::int64_t> number = node.value_exact<std::int64_t>();
  if (!number || *number < 1) {
    return Problem{&node.source(), std::string(key) + " is a whole number from 1"};
  }
  setting = static_cast<std::uint64_t>(*number);
  return std::nullopt;
}

std::optional<Problem> read_text(const toml::node& node, std::string_view key,
                                 std::optional<std::string>& setting) {
  const std::optional<std::string_view> text = node.value_exact<std::string_view>();
  if (!text) return Problem{&node.source(), std::string(key) + " is a string"};
  setting = std::string(*text);
  return std::nullopt;
}

// A string, or an array of strings.
std::optional<Problem> read_texts(const toml::node& node, std::string_view key,
                                  std::vector<std::string>& texts) {
  texts.clear();
  if (const std::optional<std::string_view> text = node.value_exact<std::string_view>()) {
    texts.emplace_back(*text);
    return std::nullopt;
  }
  const toml::array* array = node.as_array();
  if (!array)
    return Problem{&node.source(), std::string(key) + " is a string or an array of strings"};
  for (const toml::node& element : *array) {
    const std::optional<std::string_view> text = element.value_exact<std::string_view>();
    if (!text) return Problem{&element.source(), std::string(key) + " holds strings only"};
    texts.emplace_back(*text);
  }
  return std::nullopt;
}

std::optional<Problem> read_sources(const toml::table& table, Profile& profile) {
  const std::vector<std::string> rows = source_rows();
  for (const auto& [key, node] : table) {
    const std::string path(key.str());
    if (std::find(rows.begin(), rows.end(), path) == rows.end()) {
      return Problem{&key.source(),
                     "unknown keyword " + path +
                         " (a row of the mapping table that reads sources, e.g. "
                         "AccessionNumber or RequestedProcedureCodeSequence.CodeValue)"};
    }
    std::vector<std::string> texts;
    if (auto problem = read_texts(node, path, texts)) return problem;
    std::vector<Source>& sources = profile.sources[path];
    for (const std::string& text : texts) {
      std::string error;
      const std::optional<Source> source = parse_source(text, error);
      if (!source) return Problem{&node.source(), error};
      sources.push_back(*source);
    }
  }
  return std::nullopt;
}

// A CS value of 1 to 16 characters, as code_string leaves it.
bool is_code(std::string_view text) {
  return !text.empty() && text.size() <= 16 && code_string(text) == text;
}

std::optional<Problem> read_modalities(const toml::table& table, Profile& profile) {
  for (const auto& [key, node] : table) {
    const std::string sender = code_string(key.str());
    const std::optional<std::string_view> modality = node.value_exact<std::string_view>();
    if (sender.empty() || !modality || !is_code(*modality)) {
      return Problem{&node.source(),
                     "a sender code = a DICOM modality of 1 to 16 characters A-Z, 0-9, _, as "
                     "XR = \"DX\""};
    }
    profile.modalities.emplace_back(sender, std::string(*modality));
  }
  return std::nullopt;
}

std::optional<Problem> read_station_aets(const toml::table& table, Profile& profile) {
  std::vector<std::string>& values = profile.station_aets.emplace();
  for (const auto& [key, node] : table) {
    const std::optional<std::string_view> title = node.value_exact<std::string_view>();
    if (!title || !is_ae_title(trimmed(*title))) {
      return Problem{&node.source(), "an AE title of 1 to 16 characters, no \"\\\""};
    }
    if (key.str() != "*" && code_string(key.str()).empty()) {
      return Problem{&key.source(), "a modality, or \"*\" for every other one"};
    }
    values.push_back((key.str() == "*" ? "" : std::string(key.str()) + "=") + std::string(*title));
  }
  return std::nullopt;
}

std::optional<Problem> read_options(const toml::table& table, Profile& profile) {
  for (const auto& [key, node] : table) {
    const std::string_view name = key.str();
    std::optional<Problem> problem;
    if (name == "charset") {
      problem = read_choice(node, name, "utf8", "keep", profile.utf8);
    } else if (name == "long_identifiers") {
      problem = read_choice(node, name, "refuse", "keep", profile.refuse_long_identifiers);
    } else if (name == "max_entries") {
      problem = read_count(node, name, profile.max_entries);
    } else {
      problem =
          Problem{&key.source(), "unknown option " + std::string(name) + " (" +
                                     one_of({"charset", "long_identifiers", "max_entries"}) + ")"};
    }
    if (problem) return problem;
  }
  return std::nullopt;
}

std::optional<Problem> read_serve(const toml::table& table, Profile& profile) {
  for (const auto& [key, node] : table) {
    const std::string_view name = key.str();
    std::optional<Problem> problem;
    if (name == "listen") {
      problem = read_text(node, name, profile.listen);
      std::string host;
      std::string port;
      if (!problem && !split_listen_address(*profile.listen, host, port)) {
        problem =
            Problem{&node.source(), "listen is HOST:PORT or [IPV6]:PORT, the port from 0 to 65535"};
      }
    } else if (name == "allow") {
      problem = read_texts(node, name, profile.allow.emplace());
      for (std::size_t i = 0; !problem && i < profile.allow->size(); ++i) {
        Network network;
        const std::string wrong = read_network((*profile.allow)[i], network);
        if (!wrong.empty()) {
          const toml::array* array = node.as_array();
          problem = Problem{array ? &(*array)[i].source() : &node.source(),
                            "allow " + (*profile.allow)[i] + ": " + wrong};
        }
      }
    } else if (name == "max_message") {
      problem = read_count(node, name, profile.max_message);
    } else if (name == "idle_timeout") {
      problem = read_count(node, name, profile.idle_timeout);
    } else if (name == "max_connections") {
      problem = read_count(node, name, profile.max_connections);
    } else if (name == "max_connections_per_peer") {
      problem = read_count(node, name, profile.max_connections_per_peer);
    } else if (name == "quiet") {
      if (const std::optional<bool> quiet = node.value_exact<bool>()) {
        profile.quiet = *quiet;
      } else {
        problem = Problem{&node.source(), "quiet is true or false"};
      }
    } else {
      problem = Problem{&key.source(),
                        "unknown setting " + std::string(name) + " (" +
                            one_of({"listen", "allow", "max_message", "idle_timeout",
                                    "max_connections", "max_connections_per_peer", "quiet"}) +
                            ")"};
    }
    if (problem) return problem;
  }
  return std::nullopt;
}

std::optional<Problem> read_lifecycle(const toml::table& table, Profile& profile) {
  for (const auto& [key, node] : table) {
    if (key.str() != "expire_after") {
      return Problem{&key.source(),
                     "unknown setting " + std::string(key.str()) + " (expire_after)"};
    }
    if (auto problem = read_text(node, key.str(), profile.expire_after)) return problem;
    std::chrono::seconds duration{};
    if (!read_duration(*profile.expire_after, duration)) {
      return Problem{&node.source(), std::string("expire_after is ") + kDurationForm};
    }
  }
  return std::nullopt;
}

using TableReader = std::optional<Problem> (*)(const toml::table&, Profile&);

struct Section {
  std::string_view name;
  TableReader read;
};

constexpr Section kSections[] = {
    {"sources", read_sources}, {"modality", read_modalities}, {"station_aet", read_station_aets},
    {"options", read_options}, {"serve", read_serve},         {"lifecycle", read_lifecycle},
};

}  // namespace

bool read_profile(const std::string& path, Profile& profile, std::string& error) {
  std::string text;
  if (!read_file(path, text)) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  toml::parse_result parsed = toml::parse(text, path);
  if (!parsed) {
    const toml::parse_error& failure = parsed.error();
    error = place(path, failure.source()) + ": " + std::string(failure.description());
    return false;
  }
  profile = {};
  for (const auto& [key, node] : parsed.table()) {
    const Section* section = nullptr;
    for (const Section& candidate : kSections) {
      if (candidate.name == key.str()) section = &candidate;
    }
    std::optional<Problem> problem;
    if (!section) {
      problem = Problem{&key.source(), "unknown table [" + std::string(key.str()) +
                                           "] (sources, "
                                           "modality, station_aet, options, serve, lifecycle)"};
    } else if (const toml::table* table = node.as_table()) {
      problem = section->read(*table, profile);
    } else {
      problem = Problem{&node.source(),
                        std::string(key.str()) + " is a table: [" + std::string(key.str()) + "]"};
    }
    if (problem) {
      error = place(path, *problem->where) + ": " + problem->what;
      return false;
    }
  }
  return true;
}
