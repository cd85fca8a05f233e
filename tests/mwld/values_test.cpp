// The value rules: escapes, reserved characters, cutting, names, dates, times, UIDs and
// character sets.
#include "mwld/values.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DecodeEscapes, EachKindOfSequence) {
  const Separators standard;
  Separators own;  // a message declaring other delimiters: MSH#:!/$
  own.field = '#';
  own.component = ':';
  own.repetition = '!';
  own.escape = '/';
  own.subcomponent = '$';
  struct Case {
    std::string label;
    std::string text;
    std::string expected;
    Separators separators;
  };
  // clang-format off
  const Case cases[] = {
      {"plain text", "O'BRIEN", "O'BRIEN", standard},
      {"delimiters", "A\\F\\B\\S\\C\\T\\D\\R\\E\\E\\F", "A|B^C&D~E\\F", standard},
      {"the message's own delimiters", "A/F/B/S/C/T/D/R/E/E/F", "A#B:C$D!E/F", own},
      {"hex bytes", "M\\XC3BC\\LLER", "M\xC3\xBCLLER", standard},
      {"lower-case hex", "\\X0d0a\\", "\r\n", standard},
      {"odd hex digits dropped", "A\\X0D0\\B", "AB", standard},
      {"non-hex dropped", "A\\XZZ\\B", "AB", standard},
      {"empty hex dropped", "A\\X\\B", "AB", standard},
      {"line break is a blank", "ONE\\.br\\TWO", "ONE TWO", standard},
      {"other formatting commands dropped", "A\\.sp2\\B\\.in+4\\C", "ABC", standard},
      {"highlighting dropped", "\\H\\BOLD\\N\\ TEXT", "BOLD TEXT", standard},
      {"character set escapes dropped", "A\\C2842\\B\\M2442\\C\\Zxyz\\D", "ABCD", standard},
      {"unclosed escape stays", "A\\S", "A\\S", standard},
      {"unknown sequence stays", "C:\\TEMP\\X", "C:\\TEMP\\X", standard},
      {"unknown sequence, then a real one", "\\Q\\S\\", "\\Q^", standard},
      {"two escape characters in a row stay", "A\\\\B", "A\\\\B", standard},
      {"no escape character declared", "A\\S\\B", "A\\S\\B", Separators{'|', '^', '~', '\0', '&'}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(decode_escapes(c.text, c.separators), c.expected);
  }
}

TEST(TextValues, ReservedCharactersAndBlanks) {
  struct Case {
    std::string decoded;
    std::string text;  // text_value
    std::string code;  // code_string
  };
  // clang-format off
  const Case cases[] = {
      {"  CT  ", "CT", "CT"},
      {"a\\b", "a b", "A B"},
      {"tab\there\r\n", "tab here", "TAB HERE"},
      {std::string("nul\0end", 7), "nul end", "NUL END"},
      {"\x7f" "del", "del", "DEL"},
      {"mr-3.t_1", "mr-3.t_1", "MR_3_T_1"},
      {"\xC3\xBC", "\xC3\xBC", "__"},
      {"   ", "", ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.decoded);
    EXPECT_EQ(text_value(c.decoded), c.text);
    EXPECT_EQ(code_string(c.decoded), c.code);
  }
}

TEST(CutTo, CharactersNeverInsideAUtf8CharacterAndByteWiseOtherwise) {
  struct Case {
    std::string text;
    std::size_t limit;
    Encoding encoding;
    std::string expected;
  };
  const std::string u_umlaut = "\xC3\xBC";      // 2 bytes
  const std::string euro = "\xE2\x82\xAC";      // 3 bytes
  const std::string clef = "\xF0\x9D\x84\x9E";  // 4 bytes
  // "½" in Latin-1, a continuation byte in UTF-8
  const std::string halves = "C" + std::string(70, '\xBD');
  const std::string halves_cut = halves.substr(0, 64);
  std::string e76;  // 76 characters "é", 152 bytes
  for (int i = 0; i < 76; ++i) e76 += "\xC3\xA9";
  constexpr Encoding kUtf8 = Encoding::utf8;
  constexpr Encoding kLatin1 = Encoding::single_byte;
  // clang-format off
  const Case cases[] = {
      {"ABCDEF", 6, kUtf8, "ABCDEF"},
      {"ABCDEF", 4, kUtf8, "ABCD"},
      {"AB" + u_umlaut + "C", 3, kUtf8, "AB" + u_umlaut},
      {"AB" + u_umlaut + "C", 2, kUtf8, "AB"},
      {"A" + euro + "B", 2, kUtf8, "A" + euro},
      {clef + clef + "C", 2, kUtf8, clef + clef},
      {clef + clef, 1, kUtf8, clef},
      {e76, 64, kUtf8, e76.substr(0, 128)},
      {"ABC   DEF", 5, kUtf8, "ABC"},
      {halves, 64, kUtf8, halves},  // stray continuation bytes: one character in all
      {"M\xDCLLER", 2, kLatin1, "M\xDC"},
      {halves, 64, kLatin1, halves_cut},
      {"AB" + u_umlaut + "C", 3, kLatin1, "AB\xC3"},  // "Ã" of Latin-1
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + " to " + std::to_string(c.limit));
    EXPECT_EQ(cut_to(c.text, c.limit, c.encoding), c.expected);
  }
}

TEST(PersonName, XpnAndXcnToDicomOrder) {
  const Separators standard;
  const std::string long_family(70, 'F');
  struct Case {
    std::string label;
    std::string field;
    NameType type;
    std::string expected;
  };
  // clang-format off
  const Case cases[] = {
      {"family and given", "DOE^JOHN", NameType::xpn, "DOE^JOHN"},
      {"all five, prefix and suffix swapped", "DOE^JOHN^Q^JR^DR", NameType::xpn,
       "DOE^JOHN^Q^DR^JR"},
      {"XCN starts with an ID", "5101^NELL^FREDERICK^P^^DR", NameType::xcn,
       "NELL^FREDERICK^P^DR"},
      {"empty trailing components dropped", "DOE^^^^", NameType::xpn, "DOE"},
      {"empty inner components kept", "DOE^^Q", NameType::xpn, "DOE^^Q"},
      {"first repetition", "DOE^JOHN~ROE^RICHARD", NameType::xpn, "DOE^JOHN"},
      {"first subcomponent", "VAN&DER BERG^ANN", NameType::xpn, "VAN^ANN"},
      {"escapes decoded, reserved characters become blanks", "O\\S\\BRIEN^ANN\\E\\MARIE=X",
       NameType::xpn, "O BRIEN^ANN MARIE X"},
      {"components trimmed", "  DOE ^ JOHN ", NameType::xpn, "DOE^JOHN"},
      {"blank name", " ^ ", NameType::xpn, ""},
      {"ID only", "1234", NameType::xcn, ""},
      {"not cut here", long_family + "^JOHN", NameType::xpn, long_family + "^JOHN"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(person_name(c.field, c.type, standard), c.expected);
  }
}

TEST(DatesAndTimes, ValidDatesAndTheTimeAfterThem) {
  struct Case {
    std::string text;
    bool date;
    std::string time;  // time_after_date, for texts that start with a date
  };
  // clang-format off
  const Case cases[] = {
      {"20200102", true, "000000"},
      {"202001021", true, "000000"},
      {"2020010215", true, "15"},
      {"202001021530", true, "1530"},
      {"20200102153045", true, "153045"},
      {"20200102153045.1234", true, "153045"},
      {"202001021530-0600", true, "1530"},
      {"20200102153045+0100", true, "153045"},
      {"2020010224", true, "000000"},
      {"202001021560", true, "15"},
      {"20200102153060", true, "1530"},
      {"20240229", true, "000000"},
      {"20000229", true, "000000"},
      {"21000229", false, ""},
      {"20230229", false, ""},
      {"20201301", false, ""},
      {"20201200", false, ""},
      {"20200431", false, ""},
      {"00000101", false, ""},
      {"2020010", false, ""},
      {"2020-01-02", false, ""},
      {"Aug 15, 1942", false, ""},
      {"", false, ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(starts_with_date(c.text), c.date);
    if (c.date) {
      EXPECT_EQ(time_after_date(c.text), c.time);
    }
  }
}

TEST(IsValidUid, Components) {
  struct Case {
    std::string text;
    bool valid;
  };
  // clang-format off
  const Case cases[] = {
      {"1.2.840.10008.5.1.4.31", true},
      {"0.1", true},
      {"2.25.0", true},
      {"1.2.3.", false},
      {".1.2", false},
      {"1..2", false},
      {"1.02", false},
      {"1.2a", false},
      {"", false},
      {"1." + std::string(62, '1'), true},  // 64 characters
      {"1." + std::string(63, '1'), false},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(is_valid_uid(c.text), c.valid);
  }
}

TEST(DicomCharacterSet, FromMsh18) {
  struct Case {
    std::string hl7;
    bool known;
    std::string term;
  };
  // clang-format off
  const Case cases[] = {
      {"", true, "ISO_IR 100"},
      {"8859/1", true, "ISO_IR 100"},
      {" 8859/1 ", true, "ISO_IR 100"},
      {"UNICODE UTF-8", true, "ISO_IR 192"},
      {"ASCII", true, ""},
      {"8859/2", false, ""},
      {"UNICODE", false, ""},
      {"unicode utf-8", false, ""},
      {"8859/1~ISO IR87", false, ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hl7);
    std::string term = "unchanged";
    EXPECT_EQ(dicom_character_set(c.hl7, term), c.known);
    if (c.known) {
      EXPECT_EQ(term, c.term);
    }
  }
}

}  // namespace
