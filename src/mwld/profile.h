// A site's profile: a TOML file that fits the mapping and the settings to a site without a
// rebuild.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mwld/source.h"

// What a profile sets; anything it leaves out stays as the command line or the defaults have it.
struct Profile {
  // [sources]: the sources of the mapping rows it names, by the row's path.
  std::map<std::string, std::vector<Source>> sources;
  // [modality]: sender code -> DICOM modality, codes as CS values.
  std::vector<std::pair<std::string, std::string>> modalities;
  // [station_aet]: as --station-aet values, "MODALITY=AET", or "AET" for "*".
  std::optional<std::vector<std::string>> station_aets;
  // [options]
  std::optional<bool> utf8;                     // charset = "utf8" (true) or "keep"
  std::optional<bool> refuse_long_identifiers;  // long_identifiers = "refuse" or "keep"
  std::optional<std::uint64_t> max_entries;
  // [serve]
  std::optional<std::string> listen;
  std::optional<std::vector<std::string>> allow;
  std::optional<std::uint64_t> max_message;
  std::optional<std::uint64_t> idle_timeout;
  std::optional<std::uint64_t> max_connections;
  std::optional<std::uint64_t> max_connections_per_peer;
  std::optional<bool> quiet;
  // [lifecycle]
  std::optional<std::string> expire_after;
};

// Reads the profile at `path`. False with "PATH:LINE:COLUMN: what was expected" in `error` for a
// file that is no TOML, an unknown table, key or row, a malformed source, a value of the wrong
// type or an unknown option value; "PATH: <system error text>" when it cannot be read.
bool read_profile(const std::string& path, Profile& profile, std::string& error);
