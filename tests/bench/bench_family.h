#pragma once
// The Windows families as the benchmarks name them.

#include <string>

#include "support/family_reset.h"

struct BenchFamily {
  const char* name;  // "xp", "server2003", "vista", "win7", "win8"
  reset_test::Family family;
};

extern const BenchFamily kBenchFamilies[5];

// The family named `name`, or nullptr.
const BenchFamily* FindBenchFamily(const std::string& name);
