// Applying messages to a real folder: what each outcome line says, what cancels match, and
// that later messages see what earlier ones did.
#include "mwld/apply.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "temp_folder.h"

namespace {

const std::string kHead = "MSH|^~\\&|RIS||||20240105||ORM^O01|M1|P|2.3\rPID|||P1||DOE^J\r";

// A new order: ORC-1 `control`, placer and filler numbers, one OBR with its modality; with a
// visit, a PV1 whose PV1-19 is `visit`.
std::string order(const std::string& control, const std::string& placer, const std::string& filler,
                  const std::string& modality = "CT", const std::string& visit = "") {
  const std::string pv1 = visit.empty() ? "" : "PV1|1|O" + std::string(17, '|') + visit + "\r";
  return kHead + pv1 + "ORC|" + control + "|" + placer + "|" + filler +
         "\rOBR|1|||X^X-ray|||||||||||||||||||" + modality + "\r";
}

std::string adt(const std::string& event, const std::string& segments) {
  return "MSH|^~\\&|ADT||||20240105||ADT^" + event + "^ADT_A01|A1|P|2.5.1\rEVN|" + event + "\r" +
         segments;
}

std::string cancel(const std::string& placer, const std::string& filler) {
  return "MSH|^~\\&|RIS||||20240105||ORM^O01|C1|P|2.3\rORC|CA|" + placer + "|" + filler + "\r";
}

// Each entry of the folder as "PATIENT-ID NAME ADMISSION-ID STATUS", sorted by file name.
std::vector<std::string> patients(const Folder& folder) {
  std::vector<EntrySummary> entries;
  std::string error;
  scan_entries(folder, entries, error);
  std::vector<std::string> lines;
  for (const EntrySummary& e : entries) {
    lines.push_back(e.patient_id + " " + e.patient_name + " " + e.admission_id + " " + e.status);
  }
  return lines;
}

// Applies `messages` as one batch; each message's lines as "outcome name reason".
// `index` is a serve's that lives on between batches; none: a new one, as apply has.
std::vector<std::vector<std::string>> apply_batch(Folder& folder,
                                                  const std::vector<std::string>& messages,
                                                  WorklistIndex* index = nullptr) {
  MappingOptions options;
  options.date = "20261207";
  options.time = "120000";
  std::vector<MessagePlan> plans;
  plans.reserve(messages.size());
  std::vector<const MessagePlan*> batch;
  for (const std::string& text : messages) {
    plans.push_back(plan_message(split_messages(text).messages.at(0), options));
    batch.push_back(&plans.back());
  }
  std::vector<MessageResult> results;
  std::string error;
  WorklistIndex own;
  apply_plans(folder, index ? *index : own, batch, results, error);
  std::vector<std::vector<std::string>> lines;
  for (const MessageResult& result : results) {
    lines.emplace_back();
    for (const OutcomeLine& line : result.lines) {
      std::string text = outcome_word(line.outcome);
      if (!line.entry_name.empty()) text += " " + line.entry_name;
      if (!line.reason.empty()) text += " " + line.reason;
      lines.back().push_back(text);
    }
  }
  return lines;
}

// The folder's files but lockfile and the generation, which counts commits.
std::map<std::string, std::string> entry_contents(const std::string& path) {
  auto files = contents(path);
  files.erase("lockfile");
  files.erase("hl7mwld-generation");
  return files;
}

std::set<std::string> entry_names(const std::string& path) {
  std::set<std::string> names;
  for (const auto& [name, bytes] : entry_contents(path)) names.insert(name);
  return names;
}

TEST(ApplyPlans, OutcomesAndCancels) {
  // Entry names of the orders below: filler else placer, then the order number as Requested
  // Procedure ID and SPS ID (no accession number).
  const std::string f1 = "hl7mwld-F1__F1__F1.wl";
  const std::string p1 = "hl7mwld-P1__P1__P1.wl";
  // An order of two entries; a folder named like the second one stops a commit there.
  const std::string two = order("NW", "P2", "F2") + "OBR|2|||Y^Y||||||||||||||R2\r";
  const std::string f2 = "hl7mwld-F2__F2__F2.wl", f2_second = "hl7mwld-F2__R2_5F2__R2_5F2.wl";
  struct Case {
    std::string label;
    std::vector<std::vector<std::string>> batches;     // messages, batch by batch
    std::vector<std::vector<std::string>> last_lines;  // the last batch's lines
    std::set<std::string> entries;
    std::string obstacle = "";  // a folder in the worklist folder, gone before a later batch
    std::vector<std::string> existing = {};  // entry files there before the first batch
    std::vector<std::string> patients = {};  // when given: the entries' patients after
  };
  const std::string f2_p1 = order("NW", "P2", "F2");  // the same patient, P1, as order P1
  const std::string update = "PID|||P1||NEW^NAME||19900101|F\r";
  // Twelve merges of patients without entries: their line names the first ten.
  std::string twelve_merges, first_ten = "ignored ";
  for (int i = 1; i <= 12; ++i) {
    const std::string n = std::to_string(i);
    twelve_merges += "PID|||S" + n + "\rMRG|R" + n + "\r";
    if (i <= 10) first_ten += (i > 1 ? "; " : "") + ("no entries of patient R" + n);
  }
  // clang-format off
  const Case cases[] = {
      {"new order", {{order("NW", "P1", "F1")}}, {{"created " + f1}}, {f1}},
      {"same order again replaces", {{order("NW", "P1", "F1")}, {order("XO", "P1", "F1", "MR")}},
       {{"replaced " + f1}}, {f1}},
      {"cancel by filler number", {{order("NW", "P1", "F1")}, {cancel("", "F1")}},
       {{"removed " + f1}}, {}},
      {"cancel by placer when the cancel has no filler",
       {{order("NW", "P1", "F1")}, {cancel("P1", "")}}, {{"removed " + f1}}, {}},
      {"cancel by placer when the entry has no filler",
       {{order("NW", "P1", "")}, {cancel("P1", "F9")}}, {{"removed " + p1}}, {}},
      {"different filler numbers do not match", {{order("NW", "P1", "F1")}, {cancel("P1", "F2")}},
       {{"ignored no entries of order F2"}}, {f1}},
      {"empty numbers match nothing", {{order("NW", "", "F1")}, {cancel("", "F2")}},
       {{"ignored no entries of order F2"}}, {f1}},
      {"cancel of nothing", {{cancel("P7", "")}}, {{"ignored no entries of order P7"}}, {}},
      {"status change without a status replaces",
       {{order("NW", "P1", "F1")}, {order("SC", "P1", "F1")}}, {{"replaced " + f1}}, {f1}},
      {"status change to CM cancels",
       {{order("NW", "P1", "F1")}, {"MSH|^~\\&|||||||ORM^O01|S1\rORC|SC|P1|F1||CM\r"}},
       {{"removed " + f1}}, {}},
      {"create and cancel in one batch", {{order("NW", "P1", "F1"), cancel("", "F1")}},
       {{"created " + f1}, {"removed " + f1}}, {}},
      {"cancel removes every entry of the order",
       {{order("NW", "P1", "F1"), order("NW", "P1", "F1") + "OBR|2|||Y^Y||||||||||||||R2\r"},
        {cancel("P1", "F1")}},
       {{"removed " + f1, "removed hl7mwld-F1__R2_5F2__R2_5F2.wl"}}, {}},
      {"entries under the names of earlier versions are replaced",
       {{order("NW", "P1", "F1") + "OBR|2|||Y^Y\r"}},
       {{"created " + f1, "removed hl7mwld-F1__F1__F1__1.wl the entry's earlier name; now " + f1,
         "created hl7mwld-F1__F1_5F2__F1_5F2.wl Requested Procedure ID F1_2 from ORC-3 and OBR-1",
         "removed hl7mwld-F1__F1__F1__2.wl the entry's earlier name; now "
         "hl7mwld-F1__F1_5F2__F1_5F2.wl"}},
       {f1, "hl7mwld-F1__F1_5F2__F1_5F2.wl"}, "",
       {"hl7mwld-F1__F1__F1__1.wl", "hl7mwld-F1__F1__F1__2.wl"}},
      {"the second procedure of an order: OBR-1 tells it apart",
       {{order("NW", "P1", "F1") + "OBR|2|||Y^Y\r"}, {order("XO", "P1", "F1") + "OBR|2|||Y^Z\r"}},
       {{"replaced " + f1,
         "replaced hl7mwld-F1__F1_5F2__F1_5F2.wl Requested Procedure ID F1_2 from ORC-3 and OBR-1"}},
       {f1, "hl7mwld-F1__F1_5F2__F1_5F2.wl"}},
      {"a refused message changes nothing",
       {{order("NW", "P1", "F1")}, {cancel("", "F1") + "ORC|NW\rOBR|1\r"}},
       {{"rejected no PID segment"}}, {f1}},
      {"order control that changes nothing",
       {{kHead + "ORC|RE|P1|F1\rOBR|1|||X^X\r"}},
       {{"ignored order control RE changes no entry"}}, {}},
      {"the failed message sent again gives the same names",
       {{order("NW", "P1", "F1"), two}, {two}}, {{"replaced " + f2, "created " + f2_second + " Requested Procedure ID R2_2 from OBR-18 and OBR-1"}},
       {f1, f2, f2_second}, f2_second},
      {"an update changes the patient's every entry",
       {{order("NW", "P1", "F1"), f2_p1}, {adt("A08", update)}}, {{"updated " + f1, "updated " + f2}},
       {f1, f2}, "", {}, {"P1 NEW^NAME  SCHEDULED", "P1 NEW^NAME  SCHEDULED"}},
      {"A01 to A13 and A31 update as A08 does", {{order("NW", "P1", "F1")}, {adt("A31", update)}},
       {{"updated " + f1}}, {f1}, "", {}, {"P1 NEW^NAME  SCHEDULED"}},
      {"an absent field leaves the value, HL7's null empties it",
       {{order("NW", "P1", "F1")}, {adt("A08", "PID|||P1|||\"\"\r")}, {adt("A08", "PID|||P1||\"\"\r")}},
       {{"updated " + f1}}, {f1}, "", {}, {"P1   SCHEDULED"}},
      {"the same values again change nothing",
       {{order("NW", "P1", "F1")}, {adt("A08", "PID|||P1||DOE^J\r")}},
       {{"ignored the entries of patient P1 hold these values already"}}, {f1}},
      {"visit attributes only in entries of the same visit or of none",
       {{order("NW", "P1", "F1"), order("NW", "P2", "F2", "CT", "V2")},
        {adt("A02", update + "PV1|1|I" + std::string(17, '|') + "V1\r")}},
       {{"updated " + f1, "updated " + f2}}, {f1, f2}, "", {},
       {"P1 NEW^NAME V1 SCHEDULED", "P1 NEW^NAME V2 SCHEDULED"}},
      {"Latin-1 entry, UTF-8 update: the whole entry becomes UTF-8",
       {{"MSH|^~\\&|||||||ORM^O01|1|P|2.5||||||8859/1\rPID|||P1||M\xDCLLER\rPV1|1|O" +
         std::string(17, '|') + "V\xC4\rORC|NW|P1|F1\rOBR|1|||X^X\r"},
        {adt("A08", "PID|||P1||JOS\xC3\x89\r")}},
       {{"updated " + f1}}, {f1}, "", {}, {"P1 JOS\xC3\x89 V\xC3\x84 SCHEDULED"}},
      {"a patient without entries", {{order("NW", "P1", "F1")}, {adt("A08", "PID|||P9^^^H||X\r")}},
       {{"ignored no entries of patient P9 (H)"}}, {f1}},
      {"an issuer other than the entry's is another patient",
       {{kHead.substr(0, kHead.find("PID")) + "PID|||P1^^^A||DOE^J\rORC|NW|P1|F1\rOBR|1|||X^X\r"},
        {adt("A08", "PID|||P1^^^B||X\r")}},
       {{"ignored no entries of patient P1 (B)"}}, {f1}},
      {"a merge gives the prior patient's entries the survivor's identity and attributes",
       {{order("NW", "P1", "F1")}, {adt("A40", "PID|||S1||SURVIVOR^PAT\rMRG|P1\r")}},
       {{"updated " + f1}}, {f1}, "", {}, {"S1 SURVIVOR^PAT  SCHEDULED"}},
      {"A34 names the prior patient in MRG-4, as versions before 2.3.1 do",
       {{order("NW", "P1", "F1")}, {adt("A34", "PID|||S1||SURVIVOR^PAT\rMRG||||P1\r")}},
       {{"updated " + f1}}, {f1}, "", {}, {"S1 SURVIVOR^PAT  SCHEDULED"}},
      {"a message of many steps names the first ten reasons",
       {{order("NW", "P1", "F1")}, {adt("A39", twelve_merges)}}, {{first_ten + "; and 2 more"}},
       {f1}},
      {"a merge of several records: each MRG into the PID before it",
       {{order("NW", "P1", "F1"), kHead.substr(0, kHead.find("PID")) + "PID|||P2||ROE^K\rORC|NW|P2|F2\rOBR|1|||X^X\r"},
        {adt("A39", "PID|||S1||ONE\rMRG|P1\rPID|||S2||TWO\rMRG|P2\r")}},
       {{"updated " + f1, "updated " + f2}}, {f1, f2}, "", {}, {"S1 ONE  SCHEDULED", "S2 TWO  SCHEDULED"}},
      {"a new identifier changes only the identifier",
       {{order("NW", "P1", "F1")}, {adt("A47", "PID|||P7||OTHER^NAME\rMRG|P1\r")}},
       {{"updated " + f1}}, {f1}, "", {}, {"P7 DOE^J  SCHEDULED"}},
      {"other ADT events change nothing", {{order("NW", "P1", "F1")}, {adt("A28", update)}},
       {{"ignored ADT event A28 changes no entry"}}, {f1}, "", {}, {"P1 DOE^J  SCHEDULED"}},
      {"a merge without MRG is refused", {{order("NW", "P1", "F1")}, {adt("A40", update)}},
       {{"rejected no MRG segment"}}, {f1}},
      {"SC with status IP starts the order's entries in place",
       {{order("NW", "P1", "F1")}, {"MSH|^~\\&|||||||ORM^O01|S1\rORC|SC|P1|F1||IP\r"}},
       {{"updated " + f1}}, {f1}, "", {}, {"P1 DOE^J  STARTED"}},
      {"a start of an order without entries",
       {{"MSH|^~\\&|||||||ORM^O01|S1\rORC|SC|P1|F1||IP\r"}}, {{"ignored no entries of order F1"}}, {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const TempFolder temp;
    Folder folder;
    std::string error;
    ASSERT_TRUE(open_folder(temp.path, folder, error)) << error;
    std::error_code ignored;
    if (!c.obstacle.empty()) std::filesystem::create_directory(temp / c.obstacle, ignored);
    for (const std::string& name : c.existing) std::ofstream(temp / name) << "earlier";
    std::vector<std::vector<std::string>> lines;
    for (const std::vector<std::string>& batch : c.batches) {
      if (!c.obstacle.empty() && &batch != &c.batches.front()) {
        std::filesystem::remove(temp / c.obstacle, ignored);
      }
      lines = apply_batch(folder, batch);
    }
    EXPECT_EQ(lines, c.last_lines);
    EXPECT_EQ(entry_names(temp.path), c.entries);
    if (!c.patients.empty()) {
      EXPECT_EQ(patients(folder), c.patients);
    }
  }
}

// A server's index lives on between its batches while another writer changes the folder: each
// batch acts on the folder as it is, never on the index's older view.
TEST(ApplyPlans, TheIndexFollowsAnotherWriter) {
  const std::string f1 = "hl7mwld-F1__F1__F1.wl", f2 = "hl7mwld-F2__F2__F2.wl";
  struct Step {
    bool by_server;
    std::vector<std::string> messages;
    std::vector<std::vector<std::string>> lines;
  };
  // clang-format off
  const Step steps[] = {
      {true, {order("NW", "P1", "F1")}, {{"created " + f1}}},
      {false, {order("NW", "P2", "F2")}, {{"created " + f2}}},
      {true, {adt("A08", "PID|||P1||NEW^NAME\r")}, {{"updated " + f1, "updated " + f2}}},
      {false, {cancel("", "F1")}, {{"removed " + f1}}},
      {true, {cancel("", "F1"), cancel("", "F2")}, {{"ignored no entries of order F1"}, {"removed " + f2}}},
      {false, {order("NW", "P1", "F1")}, {{"created " + f1}}},
      {true, {adt("A40", "PID|||S1||S^T\rMRG|P1\r")}, {{"updated " + f1}}},
  };
  // clang-format on
  const TempFolder temp;
  Folder server, other;
  std::string error;
  ASSERT_TRUE(open_folder(temp.path, server, error)) << error;
  ASSERT_TRUE(open_folder(temp.path, other, error)) << error;
  WorklistIndex index;
  for (const Step& step : steps) {
    SCOPED_TRACE("step " + std::to_string(&step - steps + 1));
    EXPECT_EQ(apply_batch(step.by_server ? server : other, step.messages,
                          step.by_server ? &index : nullptr),
              step.lines);
  }
}

// A batch leaves the folder as the same messages applied one by one do, and applying the same
// messages again changes no byte.
TEST(ApplyPlans, BatchesAndRepeatsLeaveTheSameBytes) {
  const std::vector<std::string> messages = {order("NW", "P1", "F1"), order("NW", "P2", "F2", "MR"),
                                             cancel("P1", ""), order("XO", "P2", "F2", "US"),
                                             order("NW", "P3", "")};
  const TempFolder one_batch, one_by_one;
  Folder first, second;
  std::string error;
  ASSERT_TRUE(open_folder(one_batch.path, first, error)) << error;
  ASSERT_TRUE(open_folder(one_by_one.path, second, error)) << error;
  apply_batch(first, messages);
  for (const std::string& message : messages) apply_batch(second, {message});
  const auto after_first = entry_contents(one_batch.path);
  EXPECT_EQ(after_first, entry_contents(one_by_one.path));
  EXPECT_EQ(entry_names(one_batch.path),
            (std::set<std::string>{"hl7mwld-F2__F2__F2.wl", "hl7mwld-P3__P3__P3.wl"}));
  apply_batch(first, messages);
  EXPECT_EQ(entry_contents(one_batch.path), after_first);
}

}  // namespace
