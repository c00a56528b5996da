// libFuzzer target: a damaged registry and a Windows family from the input,
// that family's reset run twice over it, every check of RunAndCheckReset.
// A failed check prints what went wrong and aborts, which libFuzzer reports
// as a crash and saves the input.

#include <cstddef>
#include <cstdint>

#include "fuzz_cases.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  AbortOnFaults(FuzzResetCase(data, size));
  return 0;
}
