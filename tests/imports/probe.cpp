// A program that does nothing, linked as Morvane.exe is but for one thing per
// row of the import test's cases, which the check must then name.
#ifdef MORVANE_PROBE_PSAPI
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
#endif

int wmain() {
#ifdef MORVANE_PROBE_PSAPI
  HMODULE module = nullptr;
  DWORD needed = 0;
  return EnumProcessModules(GetCurrentProcess(), &module, sizeof module, &needed) ? 0 : 1;
#else
  return 0;
#endif
}
