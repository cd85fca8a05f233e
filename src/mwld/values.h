// The value rules the mapping's rows share: escapes, reserved characters, names, dates and
// times, and cutting to a VR's length.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

#include "mwld/message.h"

// True for a control character: C0 (below 0x20) and DEL.
bool is_control(char c);

// `text` without the blanks before and after it.
std::string_view trimmed(std::string_view text);

// Decodes the escape sequences of `text` with the message's own escape character (shown as "\"):
// "\F\" "\S\" "\T\" "\R\" "\E\" give the message's delimiters, "\Xhh..\" the bytes (pairs
// of hex digits), "\.br\" a blank; "\H\", "\N\", other "\.xx\" commands, "\C..\",
// "\M..\", "\Z..\" and a malformed "\X..\" are dropped; an escape that is not closed, or
// that is none of these, stays as written.
std::string decode_escapes(std::string_view text, const Separators& separators);

// A DICOM text value from decoded text: control characters and "\" (the DICOM value
// separator) become blanks, then leading and trailing blanks are dropped.
std::string text_value(std::string_view decoded);

// Component `component` of field `number` of `segment` (its first repetition and first
// subcomponent), decoded and made a text value; empty when there is no such segment or part.
std::string field_text(const Fields* segment, std::size_t number, std::size_t component,
                       const Separators& separators);

// Component `component` of field `number` as an identifier: escapes decoded, blanks around it
// dropped, and nothing else changed, so that a control character or "\" can be refused rather
// than turned into a blank that makes two identifiers one.
std::string identifier_text(const Fields* segment, std::size_t number, std::size_t component,
                            const Separators& separators);

// True when an identifier can carry `text` unchanged: no control character and no "\".
bool fits_identifier(std::string_view text);

// A CS value: as text_value, then letters upper-cased and any character outside A-Z, 0-9, "_"
// and blank replaced by "_".
std::string code_string(std::string_view decoded);

// Latin-1 text as UTF-8.
std::string utf8_of(std::string_view latin1);

// How a message's text is encoded: one byte a character (ASCII, Latin-1) or UTF-8.
enum class Encoding { single_byte, utf8 };

// The encoding of text declared with this DICOM character set term.
Encoding encoding_of(std::string_view dicom_character_set);

// The characters of `text`: its bytes in a single-byte set, its UTF-8 sequences otherwise.
std::size_t character_count(std::string_view text, Encoding encoding);

// Cuts `text` to at most `limit` characters (bytes in a single-byte set, UTF-8 sequences
// otherwise, never cut inside), then drops trailing blanks. Text within the limit is returned as
// it is.
std::string cut_to(std::string_view text, std::size_t limit, Encoding encoding);

// The HL7 name types: XPN is family^given^middle^suffix^prefix, XCN has an ID before them.
enum class NameType { xpn, xcn };

// A DICOM PN (family^given^middle^prefix^suffix) from a name field as it stands: its first
// repetition, each component's first subcomponent decoded; "\", "^", "=" and control characters
// inside a component become blanks, each component is trimmed, and empty trailing components
// are dropped. Not cut: the mapping cuts every value to its VR's length.
std::string person_name(std::string_view field, NameType type, const Separators& separators);

// An AE title: 1 to 16 printable ASCII characters other than "\"; blanks around it are
// DICOM's padding and must already be gone.
bool is_ae_title(std::string_view title);

// True when `text` begins with a valid calendar date YYYYMMDD (years 0001 to 9999).
bool starts_with_date(std::string_view text);

// The time after the date at the start of `text`: HH, HHMM or HHMMSS, as many valid pairs of
// digits as follow the date (hours 00-23, minutes and seconds 00-59); fractions and time zone
// dropped; "000000" when no hour follows.
std::string time_after_date(std::string_view text);

// `value` in decimal, with leading zeros up to `width` digits.
std::string padded(int value, std::size_t width);

// The date and time of calendar fields as YYYYMMDDHHMMSS.
std::string date_time_digits(const std::tm& fields);

// True when `text` is a valid DICOM UID: at most 64 characters, components of digits
// separated by ".", no empty component, no leading zero in a component of several digits.
bool is_valid_uid(std::string_view text);

// The DICOM Specific Character Set for an HL7 character set (MSH-18, blanks around it
// ignored): empty or "8859/1" give "ISO_IR 100", "UNICODE UTF-8" gives "ISO_IR 192", "ASCII"
// gives an empty term (no Specific Character Set); false for any other.
bool dicom_character_set(std::string_view hl7_character_set, std::string& term);
