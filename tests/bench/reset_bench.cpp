// A full reset of each family on the in-memory registry: from an empty
// registry (everything recreated and reported) and from one the reset has
// already repaired (nothing reported, every "always" value rewritten).

#include <benchmark/benchmark.h>

#include <memory>
#include <sstream>
#include <string>

#include "bench_family.h"
#include "registry/memory_registry.h"

namespace {

void ResetEmpty(benchmark::State& state, const BenchFamily* family) {
  std::size_t calls = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto registry = std::make_unique<MemoryRegistry>();
    std::wostringstream runLog;
    state.ResumeTiming();
    reset_test::RunFamilyReset(*registry, family->family, runLog);
    state.PauseTiming();
    calls = registry->Calls().size();
    registry.reset();
    state.ResumeTiming();
  }
  state.counters["registry_calls"] = static_cast<double>(calls);
}

void ResetRepaired(benchmark::State& state, const BenchFamily* family) {
  MemoryRegistry registry;
  std::wostringstream first;
  reset_test::RunFamilyReset(registry, family->family, first);
  registry.ClearCalls();
  std::size_t calls = 0;
  std::size_t reported = 0;
  for (auto _ : state) {
    std::wostringstream runLog;
    reset_test::RunFamilyReset(registry, family->family, runLog);
    state.PauseTiming();
    calls = registry.Calls().size();
    reported += runLog.str().size();
    registry.ClearCalls();
    state.ResumeTiming();
  }
  state.counters["registry_calls"] = static_cast<double>(calls);
  if (reported != 0) state.SkipWithError("a repaired registry was reported as damaged");
}

const bool kRegistered = [] {
  for (const BenchFamily& family : kBenchFamilies) {
    benchmark::RegisterBenchmark((std::string("ResetEmpty/") + family.name).c_str(), ResetEmpty, &family)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark((std::string("ResetRepaired/") + family.name).c_str(), ResetRepaired, &family)
        ->Unit(benchmark::kMicrosecond);
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
