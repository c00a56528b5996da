#include "fuzz_cases.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "damaged_registry.h"
#include "registry/operations.h"
#include "reset_check.h"

FuzzOutcome FuzzResetCase(const std::uint8_t* data, std::size_t size) {
  MemoryRegistry registry;
  const DamagedRegistry damaged = DecodeDamagedRegistry(data, size, registry);
  ResetCheck check = RunAndCheckReset(registry, damaged.family, damaged.failures == 0);
  const char* family = FamilyName(damaged.family);
  return FuzzOutcome{std::wstring(family, family + std::strlen(family)), std::move(check.faults),
                     std::move(check.firstLog)};
}

FuzzOutcome FuzzDeleteTreeCase(const std::uint8_t* data, std::size_t size) {
  MemoryRegistry registry;
  const DamagedRegistry damaged = DecodeDamagedRegistry(data, size, registry);
  FuzzOutcome outcome;
  const std::vector<std::wstring> keys = registry.ListKeys();
  if (keys.empty()) return outcome;
  const std::wstring& chosen = keys[(size == 0 ? 0 : data[size - 1]) % keys.size()];
  const RegistryRoot root = chosen.rfind(L"HKLM\\", 0) == 0 ? RegistryRoot::HKLM : RegistryRoot::HKCU;
  const std::wstring path = chosen.substr(5);
  outcome.what = chosen;

  const RegistrySnapshot before = registry.Snapshot();
  const bool deleted = DeleteKeyTree(registry, root, path);
  const RegistrySnapshot after = registry.Snapshot();
  if (registry.OpenKeyCount() != 0) outcome.faults.push_back(L"keys left open");

  const std::wstring top = Fold(chosen);
  for (const std::wstring& difference : MemoryRegistry::Differences(before, after)) {
    // Only whole keys of the chosen tree may go: "-key P".
    const bool allowed = difference.rfind(L"-key ", 0) == 0 && InSubtree(Fold(difference.substr(5)), top);
    if (!allowed) outcome.faults.push_back(L"changed outside the tree: " + difference);
  }
  bool gone = true;
  for (const auto& entry : after) gone = gone && !InSubtree(Fold(entry.second.path), top);
  if (deleted != gone) {
    outcome.faults.push_back(deleted ? L"true, yet keys of the tree remain" : L"false, yet the tree is gone");
  }
  // Only a registry told to fail may keep any of the tree.
  if (!gone && damaged.failures == 0) outcome.faults.push_back(L"the tree was not deleted");
  return outcome;
}

void AbortOnFaults(const FuzzOutcome& outcome) {
  if (outcome.faults.empty()) return;
  std::fprintf(stderr, "== %s\n", Narrow(outcome.what).c_str());
  for (const std::wstring& fault : outcome.faults) std::fprintf(stderr, "FAULT: %s\n", Narrow(fault).c_str());
  if (!outcome.log.empty()) std::fprintf(stderr, "-- first run's log:\n%s\n", Narrow(outcome.log).c_str());
  std::abort();
}
