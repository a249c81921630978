// Reading values out of request records of typical and large size.
#include <benchmark/benchmark.h>

#include <string>

#include "agent/request/record.h"

namespace {

// A record of about `size` bytes whose last pair is the one looked up, so the whole record is
// searched.
std::string MakeRecord(size_t size) {
  std::string record = "#keycount=5#sessionid=6B29FC40-CA47-1067-B31D-00DD010662DA#requestaction=runcheck#";
  int n = 0;
  while (record.size() + 40 < size) record += "#filler" + std::to_string(n++) + "=value with blanks=and#";
  record += "#checkid=DC#";
  return record;
}

void BM_GetRecordValue(benchmark::State& state) {
  const std::string record = MakeRecord(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string value = vorlane::agent::GetRecordValue(record, "checkid");
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(record.size()));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetRecordValue)->Arg(100)->Arg(10 * 1024);

void BM_GetRecordValueAbsentKey(benchmark::State& state) {
  const std::string record = MakeRecord(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string value = vorlane::agent::GetRecordValue(record, "Hostname");
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(record.size()));
}
BENCHMARK(BM_GetRecordValueAbsentKey)->Arg(100)->Arg(10 * 1024);

}  // namespace
