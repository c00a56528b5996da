// make_blank_hive PATH [MINOR]: writes an empty registry hive (format 1.5 by
// default) for the end-to-end tests to fill with hivexsh.
#include <cstdlib>

#include "support/blank_hive.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const auto minor = static_cast<std::uint32_t>(argc > 2 ? std::atoi(argv[2]) : 5);
  return hive_test::WriteBlankHive(argv[1], minor) ? 0 : 1;
}
