// libFuzzer target: a damaged registry from the input, then DeleteKeyTree of
// one of its keys; only that key and what lies below it may go.

#include <cstddef>
#include <cstdint>

#include "fuzz_cases.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  AbortOnFaults(FuzzDeleteTreeCase(data, size));
  return 0;
}
