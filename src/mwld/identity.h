// An entry's identity, and the file name and UIDs derived from it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Every file hl7mwld names in a folder starts with this; its entries end in kEntrySuffix.
constexpr std::string_view kNamePrefix = "hl7mwld-";
constexpr std::string_view kEntrySuffix = ".wl";

// What tells one worklist entry from another: the order number (filler, else placer), the
// Requested Procedure ID and the Scheduled Procedure Step ID. Entries of one message with the
// same three are told apart by `position`, their place among them from 1; it stays 0 for an
// entry that is alone with its identity and then enters neither the file name nor the UIDs.
struct Identity {
  std::string order_number;
  std::string requested_procedure_id;
  std::string step_id;
  std::size_t position = 0;
};

// The entry's file name: "hl7mwld-", then the identity's parts, "__" between them, each byte
// outside A-Z, 0-9, "-" and "." written as "_" and two upper-case hex digits (lower-case letters
// too, so that names stay distinct where file names ignore case), then ".wl". When that would be
// longer than 128 bytes: "hl7mwld-", the SHA-256 of the identity in upper-case hex, ".wl".
std::string entry_file_name(const Identity& identity);

// A UID under the root 2.25 derived from the identity and `purpose` ("study", "instance"):
// the same on every run and every machine, and distinct for distinct identities or purposes.
std::string derived_uid(const Identity& identity, std::string_view purpose);
