// Micro-benchmarks of the tokenizer and the reader on typical order segments.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "hl7/reader.h"
#include "hl7/split_on.h"

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

}  // namespace

BENCHMARK_MAIN();
