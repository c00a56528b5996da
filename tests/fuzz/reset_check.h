#pragma once
// Runs a family's reset twice over a registry and says what went wrong:
// anything changed outside the keys and values the reset may touch, a value
// it always writes not holding its bytes, a key it deletes still there, a key
// left open, a second run that reports or changes anything.

#include <string>
#include <vector>

#include "family_table.h"
#include "registry/memory_registry.h"

struct ResetCheck {
  std::vector<std::wstring> faults;  // empty when every check held
  std::wstring firstLog;
  std::wstring secondLog;
};

// Runs the reset twice on `registry` and checks both runs. Not `strict`
// (registry calls were told to fail): only what must hold whatever fails is
// checked, that nothing outside the repair set changed, every key was closed
// and the log is made of report lines.
ResetCheck RunAndCheckReset(MemoryRegistry& registry, Family family, bool strict = true);

// The faults of one run, given the snapshots before and after it, the class
// names the per-user extension keys may lead to, and the run's log. Exposed
// so that the checks themselves can be tested on doctored snapshots.
std::vector<std::wstring> CheckRun(const RegistrySnapshot& before, const RegistrySnapshot& after,
                                   Family family, const std::vector<std::wstring>& userClasses,
                                   const std::wstring& runLog, bool strict = true);

// The class names the per-user override removal may act on, read from the
// registry as it stands: the default value of each per-user extension key,
// plus, where that key is a link, every default text the resets write (the
// link may lead to a machine key the reset rewrites before it is read).
std::vector<std::wstring> UserClassNames(MemoryRegistry& registry);

// Whether `path` is `top` or lies below it; both spelled alike (folded).
bool InSubtree(const std::wstring& path, const std::wstring& top);

// The text, as UTF-8, for printing.
std::string Narrow(const std::wstring& text);
