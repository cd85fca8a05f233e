// Where a value comes from, in the notation of the mapping table: "OBR-4.2", "PID-3[type=MR].1".
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// A field of a segment, and optionally one of its components and subcomponents. Of a field
// that repeats, the first repetition is read, or the first whose identifier type (component 5,
// `[type=XX]`) or assigning authority (component 4, `[authority=XX]`) is the one named, as in
// the CX identifiers of PID-2, PID-3 and PV1-19.
struct Source {
  enum class Pick { first, type, authority };

  std::string segment;           // three letters or digits: "PID", "PV1", "ZDS"
  std::size_t field = 0;         // from 1
  std::size_t component = 0;     // from 1; 0 when the whole repetition is meant
  std::size_t subcomponent = 0;  // from 1; 0 when the whole component is meant
  Pick pick = Pick::first;
  std::string picked;  // the type or authority asked for
};

// Reads `text` in the notation SEG-F[.C[.S]], an optional [type=X] or [authority=X] after F.
// Nothing, with what was expected in `error`, when it is malformed.
std::optional<Source> parse_source(std::string_view text, std::string& error);

// The source in its notation, as parse_source reads it.
std::string source_text(const Source& source);
