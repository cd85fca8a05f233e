// Micro-benchmarks of the tokenizer and the reader on typical order segments, and of
// hl7mwld's steps for one typical order message: splitting, planning, encoding.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "hl7/reader.h"
#include "hl7/split_on.h"
#include "mwld/dicom.h"
#include "mwld/identity.h"
#include "mwld/listing.h"
#include "mwld/message.h"
#include "mwld/plan.h"

namespace {

const std::string kObr =
    "OBR|1|PL0001|FL0001|CT01^CT HEAD^LOCAL^CTH^HEAD WITHOUT CONTRAST|||||||||||BRAIN^^^HEAD^LEFT"
    "|||ACC0001|RP0001|SPS0001||||CT|||1^^^202001021530";

void split_segment(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(split_on(kObr, '|'));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kObr.size()));
}
BENCHMARK(split_segment);

void read_lines(benchmark::State& state) {
  std::string text;
  while (text.size() < static_cast<std::size_t>(state.range(0))) text += kObr + "\r\n";
  for (auto _ : state) {
    std::FILE* input = fmemopen(text.data(), text.size(), "rb");
    SegmentList message;
    read_message(input, true, message);
    std::fclose(input);
    benchmark::DoNotOptimize(message.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(read_lines)->Arg(1 << 10)->Arg(1 << 20);

// The first message bench/generate_orders.py writes, as it arrives over MLLP (CR ends).
const std::string kOrder =
    "MSH|^~\\&|RIS|RADIOLOGY|MWL|IMAGING|20250302080500||ORM^O01|MSG00000001|P|2.3.1||||||8859/1\r"
    "PID|1||P0000001^^^HOSP^MR||SMITH^J\xd6RG^^^||19410202|M|||11 MAIN STREET^^TOWN^ST^10001||"
    "(555)555-0001|||S||ACCT00000001\r"
    "PV1|1|O|RAD^ROOM2^1^CITYHOSP|||||5101^NELL^FREDERICK^P^^DR|||RAD||||||||V00000001\r"
    "ORC|NW|PL00000001^RIS|FL00000001^PACS||SC||1^ONCE^^20250402080500^^R||20250302080500|"
    "CLERK^ORDER^ENTRY||7101^ESTRADA^JAIME^P^^DR|RAD^^^CITYHOSP|(314)555-1212\r"
    "OBR|1|PL00000001^RIS|FL00000001^PACS|CTCHEST^CT CHEST WITH CONTRAST^LOCALRAD^CTC2^"
    "CHEST ARTERIAL PHASE^LOCALPROT|||20250302080500|||||||||7101^ESTRADA^JAIME^P^^DR||"
    "ACC00000001|RP00000001|SPS00000001||||CT|||1^ONCE^^20250402080500^^R\r"
    "NTE|1||Patient prefers morning appointments\\.br\\Contrast allergy: none known\r";

const MappingOptions kOptions = [] {
  MappingOptions options;
  options.date = "20250101";
  options.time = "120000";
  return options;
}();

// Bytes to segments and fields.
void mwld_split_message(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(split_messages(kOrder));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kOrder.size()));
}
BENCHMARK(mwld_split_message);

// Checks, order groups, the mapping table, two derived UIDs, the file name and the encoding.
void mwld_plan_message(benchmark::State& state) {
  const Input input = split_messages(kOrder);
  for (auto _ : state) benchmark::DoNotOptimize(plan_message(input.messages.front(), kOptions));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kOrder.size()));
}
BENCHMARK(mwld_plan_message);

// The encoder alone, on the entry plan_message maps.
void mwld_encode_file(benchmark::State& state) {
  const MessagePlan plan = plan_message(split_messages(kOrder).messages.front(), kOptions);
  const EntryFile& file = plan.steps.front().entries.front();
  const std::string uid = derived_uid(file.entry.identity, "instance");
  for (auto _ : state) benchmark::DoNotOptimize(encode_file(file.entry.data_set, uid));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(file.bytes.size()));
}
BENCHMARK(mwld_encode_file);

// One UID from an identity: a SHA-256 and its decimal form. An entry takes two.
void mwld_derived_uid(benchmark::State& state) {
  const Identity identity{"FL00000001", "RP00000001", "SPS00000001", 0};
  for (auto _ : state) benchmark::DoNotOptimize(derived_uid(identity, "instance"));
}
BENCHMARK(mwld_derived_uid);

// An entry file read back into what the index keeps of it.
void mwld_summary_of(benchmark::State& state) {
  const MessagePlan plan = plan_message(split_messages(kOrder).messages.front(), kOptions);
  const EntryFile& file = plan.steps.front().entries.front();
  for (auto _ : state) benchmark::DoNotOptimize(summary_of(file.name, file.bytes));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(file.bytes.size()));
}
BENCHMARK(mwld_summary_of);

}  // namespace

BENCHMARK_MAIN();
