// Frames to messages: one message per frame, answers given at once, the oversized frame's AR.
#include "mwld/frame_handler.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kOrder =
    "MSH|^~\\&|HIS|WARD|RIS|RAD|20240301120000||ORM^O01|M1|P|2.5\r"
    "PID|||P1^^^H||DOE^JOHN\r"
    "ORC|NW|A1|F1\r"
    "OBR|1|A1|F1|CT1^CT HEAD\r";

// "<control ID> <type> <MSA-1> <code> <reason> at <segment>^<sequence>^<field>", or
// "<control ID> <type> apply <entries>" for a message to apply.
std::string summary(const Received& received) {
  std::string text = received.control_id + ' ' + received.message_type + ' ';
  if (!received.answer) {
    std::size_t entries = 0;
    for (const OrderStep& step : received.plan.steps) entries += step.entries.size();
    return text + "apply " + std::to_string(entries);
  }
  const Answer& answer = *received.answer;
  return text + std::string(ack_code_text(answer.code)) + ' ' + std::to_string(answer.reason.code) +
         ' ' + answer.reason.text + " at " + answer.reason.segment + '^' +
         std::to_string(answer.sequence) + '^' + std::to_string(answer.reason.field);
}

TEST(HandleFrame, OneMessagePerFrame) {
  const std::string second = "MSH|^~\\&|HIS|WARD|RIS|RAD|20240301120000||ORM^O01|M2|P|2.5\r";
  std::string many_obrs;
  for (int i = 0; i < 100; ++i) many_obrs += "OBR|2|A1|F1|CT1^CT HEAD\r";
  struct Case {
    std::string label;
    std::string content;
    std::string expected;
  };
  const Case cases[] = {
      {"a message to apply", kOrder, "M1 ORM^O01 apply 1"},
      {"empty frame", "", "  AE 100 no readable MSH segment at MSH^0^0"},
      {"no MSH", "PID|||P1\r", "  AE 100 no readable MSH segment at MSH^0^0"},
      {"MSH alone", "MSH", "  AE 100 no readable MSH segment at MSH^0^0"},
      {"MSH alone after a byte-order mark", "\xEF\xBB\xBFMSH",
       "  AE 100 no readable MSH segment at MSH^0^0"},
      {"a message, then MSH alone", kOrder + "MSH",
       "M1 ORM^O01 AE 100 several messages in one frame at MSH^2^0"},
      {"line ends and a byte-order mark before the MSH, as in a file", "\r\n\xEF\xBB\xBF" + kOrder,
       "M1 ORM^O01 apply 1"},
      {"segments before the MSH", "PID|||P1\r" + kOrder,
       "M1 ORM^O01 AE 100 segments before the MSH segment at MSH^1^0"},
      {"two messages", kOrder + second,
       "M1 ORM^O01 AE 100 several messages in one frame at MSH^2^0"},
      {"batch trailer", kOrder + "BTS|1\r",
       "M1 ORM^O01 AE 100 batch header or trailer in the frame at ^0^0"},
      {"batch header: text before the MSH", "BHS|^~\\&|X\r" + kOrder,
       "M1 ORM^O01 AE 100 segments before the MSH segment at MSH^1^0"},
      {"rejected message type", "MSH|^~\\&|A|B|C|D|t||ORU^R01|M3|P|2.5\rPID|1\r",
       "M3 ORU^R01 AR 200 unsupported message type ORU^R01 at MSH^1^9"},
      {"rejected order, the only PID",
       "MSH|^~\\&|A|B|C|D|t||ORM^O01|M4|P|2.5\rPID|||||DOE^JOHN\rORC|NW|A1|F1\rOBR|1|A1|F1|X\r",
       "M4 ORM^O01 AE 101 no Patient ID in PID-3 or PID-2 at PID^1^3"},
      {"rejected order, one of two OBRs",
       "MSH|^~\\&|A|B|C|D|t||ORM^O01|M5|P|2.5\rPID|||P1||DOE\rORC|NW|A1|F1\rOBR|1|A1|F1|X\r"
       "OBR|2|A1|F1|\r",
       "M5 ORM^O01 AE 101 no procedure in OBR-4, OBR-44 or IPC-6 at OBR^0^4"},
      {"an order number DICOM cannot carry",
       "MSH|^~\\&|A|B|C|D|t||ORM^O01|M6|P|2.5\rPID|||P1||DOE\rORC|NW|A\\X1C\\1\rOBR|1||F1|X\r",
       "M6 ORM^O01 AE 102 ORC-2 holds a control character or \"\\\", which an identifier cannot "
       "carry at ORC^1^2"},
      {"more entries than --max-entries", kOrder + many_obrs,
       "M1 ORM^O01 AE 207 the message would write 101 entries (--max-entries 100) at ^0^0"},
      {"message type around blanks, as the log names it",
       "MSH|^~\\&|A|B|C|D|t|| ORU ^R01|M7|P|2.5\rPID|1\r",
       "M7 ORU^R01 AR 200 unsupported message type ORU^R01 at MSH^1^9"},
  };
  MappingOptions options;
  options.date = "20240101";
  options.time = "120000";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(summary(handle_frame(c.content, options)), c.expected);
  }
}

TEST(HandleOversized, AnsweredWhenTheMshIsComplete) {
  struct Case {
    std::string label;
    std::string content;
    std::string expected;  // empty: no acknowledgement
  };
  const Case cases[] = {
      {"complete MSH", kOrder.substr(0, 80),
       "M1 ORM^O01 AE 207 message longer than 79 bytes at ^0^0"},
      {"after a byte-order mark and empty lines", "\xEF\xBB\xBF\r\n" + kOrder.substr(0, 70),
       "M1 ORM^O01 AE 207 message longer than 79 bytes at ^0^0"},
      {"a byte-order mark after empty lines", "\r\n\xEF\xBB\xBF" + kOrder.substr(0, 70),
       "M1 ORM^O01 AE 207 message longer than 79 bytes at ^0^0"},
      {"MSH not ended", kOrder.substr(0, 55), ""},
      {"MSH alone", "MSH\r" + kOrder, ""},
      {"bytes of a byte-order mark, not all of it", "\xEF\xBB" + kOrder, ""},
      {"another segment first", "PID|1\r" + kOrder, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::optional<Received> received = handle_oversized(c.content, 79);
    EXPECT_EQ(received ? summary(*received) : "", c.expected);
  }
}

}  // namespace
