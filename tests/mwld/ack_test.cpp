// Acknowledgements: each MSA code, the ERR layout of each version, the message's own delimiters,
// the header fields echoed and swapped, the answer to a frame without a readable MSH.
#include "mwld/ack.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

namespace {

const AckStamp kStamp{"20240102030405+0100", "ID1"};

// The acknowledgement of the message whose first segment is `msh`; with an empty `msh`, of a
// frame without a readable MSH.
std::string ack_of(const std::string& msh, const Answer& answer) {
  if (msh.empty()) return acknowledgement(nullptr, Separators{}, answer, kStamp);
  const Message message = split_messages(msh).messages.front();
  return acknowledgement(&message.segments.front(), message.separators, answer, kStamp);
}

TEST(Acknowledgement, Texts) {
  const Answer accepted{};
  const Answer pid3{AckCode::error, {kRequiredFieldMissing, "PID-3 is empty", "PID", 3}, 1};
  const Answer disk{
      AckCode::reject, {kApplicationInternalError, "the worklist could not be written", "", 0}, 0};
  const Answer type{
      AckCode::reject, {kUnsupportedMessageType, "unsupported message type ADT^A01", "MSH", 9}, 1};
  const Answer charset{
      AckCode::error, {kTableValueNotFound, "unknown character set 8859/2", "MSH", 18}, 1};
  const Answer no_pid{AckCode::error, {kSegmentSequenceError, "no PID segment", "PID", 0}, 0};
  const Answer long_value{
      AckCode::error, {kDataTypeError, "OBR-18 is longer than 64 characters", "", 0}, 0};
  const Answer obr4{AckCode::error, {kRequiredFieldMissing, "a#b:c!d/e$f|g", "OBR", 4}, 1};
  const Answer no_msh{
      AckCode::error, {kSegmentSequenceError, "no readable MSH segment", "MSH", 0}, 0};
  struct Case {
    std::string label;
    std::string msh;
    Answer answer;
    std::string expected;
  };
  const Case cases[] = {
      {"AA, sender and receiver swapped, MSH-11, 12 and 18 echoed",
       "MSH|^~\\&|HIS|WARD|RIS|RAD|20240301120000||ORM^O01|MSG1|P|2.3.1||||||8859/1", accepted,
       "MSH|^~\\&|RIS|RAD|HIS|WARD|20240102030405+0100||ACK^O01^ACK|ID1|P|2.3.1||||||8859/1\r"
       "MSA|AA|MSG1\r"},
      {"components of the header fields echoed as they stand",
       "MSH|^~\\&|APP^1.2^ISO|F\\T\\1|R^2.3^ISO|RF|t|SEC|OMI^O23^OMI_O23|C2|T^A|2.5^USA", accepted,
       "MSH|^~\\&|R^2.3^ISO|RF|APP^1.2^ISO|F\\T\\1|20240102030405+0100||ACK^O23^ACK|ID1|T^A|"
       "2.5^USA\r"
       "MSA|AA|C2\r"},
      {"MSH-9 without a trigger event", "MSH|^~\\&|A|B|C|D|t||ORM|C3|P|2.5", accepted,
       "MSH|^~\\&|C|D|A|B|20240102030405+0100||ACK|ID1|P|2.5\rMSA|AA|C3\r"},
      {"AE, version 2.3: ERR-1", "MSH|^~\\&|A|B|C|D|t||ORM^O01|C4|P|2.3", pid3,
       "MSH|^~\\&|C|D|A|B|20240102030405+0100||ACK^O01^ACK|ID1|P|2.3\r"
       "MSA|AE|C4|PID-3 is empty\r"
       "ERR|PID^1^3^101&Required field missing&HL70357\r"},
      {"AR, version 2.4: ERR-1 without a location", "MSH|^~\\&|A|B|C|D|t||ORM^O01|C5|P|2.4", disk,
       "MSH|^~\\&|C|D|A|B|20240102030405+0100||ACK^O01^ACK|ID1|P|2.4\r"
       "MSA|AR|C5|the worklist could not be written\r"
       "ERR|^^^207&Application internal error&HL70357\r"},
      {"version 2.4 with components in MSH-12", "MSH|^~\\&|A|B|C|D|t||ORM^O01|C5|P|2.4^USA", pid3,
       "MSH|^~\\&|C|D|A|B|20240102030405+0100||ACK^O01^ACK|ID1|P|2.4^USA\r"
       "MSA|AE|C5|PID-3 is empty\r"
       "ERR|PID^1^3^101&Required field missing&HL70357\r"},
      {"AR, version 2.5: ERR-2, 3 and 4; the reason's component separator escaped",
       "MSH|^~\\&|A|B|C|D|t||ADT^A01|C6|P|2.5", type,
       "MSH|^~\\&|C|D|A|B|20240102030405+0100||ACK^A01^ACK|ID1|P|2.5\r"
       "MSA|AR|C6|unsupported message type ADT\\S\\A01\r"
       "ERR||MSH^1^9|200^Unsupported message type^HL70357|E\r"},
      {"AE, version 2.5.1", "MSH|^~\\&|A|B|C|D|t||ORM^O01|C7|P|2.5.1||||||8859/2", charset,
       "MSH|^~\\&|C|D|A|B|20240102030405+0100||ACK^O01^ACK|ID1|P|2.5.1||||||8859/2\r"
       "MSA|AE|C7|unknown character set 8859/2\r"
       "ERR||MSH^1^18|103^Table value not found^HL70357|E\r"},
      {"no version: the 2.5 layout; a segment without sequence or field",
       "MSH|^~\\&|A|B|C|D|t||ORM^O01|C8|P", no_pid,
       "MSH|^~\\&|C|D|A|B|20240102030405+0100||ACK^O01^ACK|ID1|P\r"
       "MSA|AE|C8|no PID segment\r"
       "ERR||PID|100^Segment sequence error^HL70357|E\r"},
      {"a version that is none: the 2.5 layout", "MSH|^~\\&|A|B|C|D|t||ORM^O01|C9|P|X", long_value,
       "MSH|^~\\&|C|D|A|B|20240102030405+0100||ACK^O01^ACK|ID1|P|X\r"
       "MSA|AE|C9|OBR-18 is longer than 64 characters\r"
       "ERR|||102^Data type error^HL70357|E\r"},
      {"the message's own delimiters, 2.5", "MSH#:!/$#A#B#C#D#t##ORM:O01#C10#P#2.5", obr4,
       "MSH#:!/$#C#D#A#B#20240102030405+0100##ACK:O01:ACK#ID1#P#2.5\r"
       "MSA#AE#C10#a/F/b/S/c/R/d/E/e/T/f|g\r"
       "ERR##OBR:1:4#101:Required field missing:HL70357#E\r"},
      {"the message's own delimiters, 2.3", "MSH#:!/$#A#B#C#D#t##ORM:O01#C11#P#2.3", obr4,
       "MSH#:!/$#C#D#A#B#20240102030405+0100##ACK:O01:ACK#ID1#P#2.3\r"
       "MSA#AE#C11#a/F/b/S/c/R/d/E/e/T/f|g\r"
       "ERR#OBR:1:4:101$Required field missing$HL70357\r"},
      {"encoding characters MSH-2 leaves out are the standard ones",
       "MSH|^~|A|B|C|D|t||ORM^O01|C12|P|2.4", pid3,
       "MSH|^~\\&|C|D|A|B|20240102030405+0100||ACK^O01^ACK|ID1|P|2.4\r"
       "MSA|AE|C12|PID-3 is empty\r"
       "ERR|PID^1^3^101&Required field missing&HL70357\r"},
      {"control characters in the reason become blanks", "MSH|^~\\&|A|B|C|D|t||ORM^O01|C13|P|2.5",
       Answer{AckCode::error, {kApplicationInternalError, "disk\x01gone\t", "", 0}, 0},
       "MSH|^~\\&|C|D|A|B|20240102030405+0100||ACK^O01^ACK|ID1|P|2.5\r"
       "MSA|AE|C13|disk gone \r"
       "ERR|||207^Application internal error^HL70357|E\r"},
      {"control characters echoed as hex escapes: the frame stays whole",
       "MSH|^~\\&|A|B|C|D|t||ORM^O01|C\x0b"
       "14|P|2.5\x1c||||||X\x1c|Z",
       accepted,
       "MSH|^~\\&|C|D|A|B|20240102030405+0100||ACK^O01^ACK|ID1|P|2.5\\X1C\\||||||X\\X1C\\\r"
       "MSA|AA|C\\X0B\\14\r"},
      {"a control character as separator: the standard ones, values as text",
       "MSH\x01^~\\&\x01"
       "A|1^2\x01"
       "B\x01"
       "C\x01"
       "D\x01t\x01\x01ORM^O01\x01"
       "C15\x01P\x01"
       "2.5",
       accepted,
       "MSH|^~\\&|C|D|A\\F\\1\\S\\2|B|20240102030405+0100||ACK|ID1|P|2.5\r"
       "MSA|AA|C15\r"},
      {"a letter as field separator: the standard ones",
       "MSHA^~\\&AHISAWXRDAXISAXXDAtAAORM^O01AC17AP", accepted,
       "MSH|^~\\&|XIS|XXD|HIS|WXRD|20240102030405+0100||ACK|ID1|P\r"
       "MSA|AA|C17\r"},
      {"NUL as field separator: the standard ones",
       std::string("MSH\0^~\\&\0A|B\0B\0C\0D\0t\0\0ORM^O01\0C18\0P", 35), accepted,
       "MSH|^~\\&|C|D|A\\F\\B|B|20240102030405+0100||ACK|ID1|P\r"
       "MSA|AA|C18\r"},
      {"one character declared twice: the standard ones",
       "MSH|^^\\&|A^1~2|B|C|D|t||ORM^O01|C16|P|2.4", pid3,
       "MSH|^~\\&|C|D|A\\S\\1\\R\\2|B|20240102030405+0100||ACK|ID1|P|2.4\r"
       "MSA|AE|C16|PID-3 is empty\r"
       "ERR|PID^1^3^101&Required field missing&HL70357\r"},
      {"no readable MSH", "", no_msh,
       "MSH|^~\\&|||||20240102030405+0100||ACK|ID1|P|2.5\r"
       "MSA|AE||no readable MSH segment\r"
       "ERR||MSH|100^Segment sequence error^HL70357|E\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(ack_of(c.msh, c.answer), c.expected);
  }
}

// Calendar fields; `yday` is the day of the year from 0.
std::tm calendar(int year, int month, int day, int hour, int minute, int second, int yday) {
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_yday = yday;
  return fields;
}

TEST(Hl7Time, OffsetFromUtc) {
  struct Case {
    std::string label;
    std::tm local;
    std::tm utc;
    std::string expected;
  };
  const Case cases[] = {
      {"UTC", calendar(2024, 1, 2, 3, 4, 5, 1), calendar(2024, 1, 2, 3, 4, 5, 1),
       "20240102030405+0000"},
      {"east, the date ahead", calendar(2024, 3, 1, 1, 30, 0, 60),
       calendar(2024, 2, 29, 23, 0, 0, 59), "20240301013000+0230"},
      {"west, the year behind", calendar(2023, 12, 31, 19, 0, 9, 364),
       calendar(2024, 1, 1, 0, 0, 9, 0), "20231231190009-0500"},
      {"east, the year ahead", calendar(2024, 1, 1, 0, 45, 0, 0),
       calendar(2023, 12, 31, 11, 0, 0, 364), "20240101004500+1345"},
      {"west, same day", calendar(2024, 7, 4, 8, 15, 59, 185),
       calendar(2024, 7, 4, 11, 45, 59, 185), "20240704081559-0330"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(hl7_time(c.local, c.utc), c.expected);
  }
}

}  // namespace
