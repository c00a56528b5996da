#pragma once
// The Windows families as the benchmarks name them, and a full reset of one.

#include <ostream>
#include <string>

#include "registry/registry_access.h"

struct BenchFamily {
  const char* name;  // "xp", "server2003", "vista", "win7", "win8"
  unsigned major;
  unsigned minor;
};

extern const BenchFamily kBenchFamilies[5];

// The family named `name`, or nullptr.
const BenchFamily* FindBenchFamily(const std::string& name);

// What the run does for this host version: the family's reset, and on 6.2 the
// pin-to-start verb after it.
void RunFamilyReset(RegistryAccess& registry, const BenchFamily& family, std::wostream& runLog);
