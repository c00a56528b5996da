// Every saved input, the seeds and the findings kept as regressions, through
// the fuzz target's checks.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "reset_case.h"

TEST(FuzzReplay, EverySavedInputKeepsEveryRule) {
  std::size_t replayed = 0;
  for (const char* folder : {"corpus", "regressions"}) {
    const std::filesystem::path dir = std::filesystem::path(MORVANE_TESTS_DIR) / "fuzz" / folder;
    if (!std::filesystem::is_directory(dir)) continue;
    for (const auto& file : std::filesystem::directory_iterator(dir)) {
      if (file.path().extension() == ".md") continue;
      std::ifstream in(file.path(), std::ios::binary);
      const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      for (const std::string& fault : CheckResetCase(bytes.data(), bytes.size())) {
        ADD_FAILURE() << file.path().filename() << ": " << fault;
      }
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 5u);
}
