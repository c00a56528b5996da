#pragma once
// One fuzz input, decoded and checked; shared by the libFuzzer targets and
// the native test that replays the corpus and the saved findings.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct FuzzOutcome {
  std::wstring what;                 // the family or the key acted on
  std::vector<std::wstring> faults;  // empty when every check held
  std::wstring log;                  // the first run's log, when there is one
};

// The reset of the decoded family, run twice, with every check.
FuzzOutcome FuzzResetCase(const std::uint8_t* data, std::size_t size);
// DeleteKeyTree of one key of the decoded registry: the last byte picks the key.
FuzzOutcome FuzzDeleteTreeCase(const std::uint8_t* data, std::size_t size);
// Prints the faults to standard error and aborts when there are any.
void AbortOnFaults(const FuzzOutcome& outcome);
