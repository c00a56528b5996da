#include "bench_family.h"

#include "host/system_info.h"
#include "registry/reset.h"

const BenchFamily kBenchFamilies[5] = {
    {"xp", 5, 1}, {"server2003", 5, 2}, {"vista", 6, 0}, {"win7", 6, 1}, {"win8", 6, 2},
};

const BenchFamily* FindBenchFamily(const std::string& name) {
  for (const BenchFamily& family : kBenchFamilies) {
    if (name == family.name) return &family;
  }
  return nullptr;
}

void RunFamilyReset(RegistryAccess& registry, const BenchFamily& family, std::wostream& runLog) {
  if (family.major == 5) {
    SystemInfo info;
    info.majorVersion = family.major;
    info.minorVersion = family.minor;
    ResetXpFamily(registry, info, runLog);
  } else if (family.minor == 0) {
    ResetVistaFamily(registry, runLog);
  } else {
    ResetWin7Win8Family(registry, runLog);
    if (family.minor == 2) AddPinToStartVerb(registry);
  }
}
