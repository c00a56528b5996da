// libFuzzer target: a broken rule prints what went wrong and aborts, which
// libFuzzer reports as a crash and saves the input.
#include <cstdio>
#include <cstdlib>

#include "reset_case.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> faults = CheckResetCase(data, size);
  for (const std::string& fault : faults) std::fprintf(stderr, "FAULT: %s\n", fault.c_str());
  if (!faults.empty()) std::abort();
  return 0;
}
