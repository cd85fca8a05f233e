// The lines apply and show print on standard output.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "mwld/dicom.h"
#include "mwld/plan.h"

// Where a message came from: its file ("-" for standard input), its number in the file from 1,
// and its control ID (MSH-10).
struct MessagePlace {
  std::string_view file;
  std::size_t number;
  std::string_view control_id;
};

// A value as one column of a tab-separated line: "-" when empty, tabs and other control
// characters as blanks.
std::string column_text(std::string_view text);

// One tab-separated line: file, number, control ID, `word`, entry name, then the reason when
// there is one. An empty control ID or entry name is written "-"; tabs and other control
// characters inside the columns become blanks.
std::string outcome_text(const MessagePlace& place, std::string_view word,
                         std::string_view entry_name, std::string_view reason);

// What show prints of a planned message: a "write" line and the elements of each entry it
// would write, a "remove" line for each order it would cancel, or one "rejected" or "ignored"
// line.
std::string plan_text(const MessagePlace& place, const MessagePlan& plan);

// `texts` joined by "; ", the first 10 of them: a message with thousands of steps (an A39 of
// 20,000 merges) would otherwise make one line of its size; "and N more" counts the rest.
std::string joined(const std::vector<std::string>& texts);

// One line per element, "(gggg,eeee) VR Keyword value", each item's elements indented by two
// more blanks than its sequence; starts at `indent` blanks.
std::string data_set_text(const DataSet& data_set, std::size_t indent);
