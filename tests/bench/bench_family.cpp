#include "bench_family.h"

using reset_test::Family;

const BenchFamily kBenchFamilies[5] = {
    {"xp", Family::kXpMinor1}, {"server2003", Family::kXpMinor2}, {"vista", Family::kVista},
    {"win7", Family::kWin7},   {"win8", Family::kWin8},
};

const BenchFamily* FindBenchFamily(const std::string& name) {
  for (const BenchFamily& family : kBenchFamilies) {
    if (name == family.name) return &family;
  }
  return nullptr;
}
