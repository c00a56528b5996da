// Replays every saved fuzz input, the seed corpus and the findings kept as
// regressions, through the same checks as the fuzz targets.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_cases.h"
#include "reset_check.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> InputsOf(const std::string& target) {
  std::vector<fs::path> inputs;
  for (const char* folder : {"corpus", "regressions"}) {
    const fs::path dir = fs::path(MORVANE_FUZZ_DIR) / folder / target;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
  }
  return inputs;
}

std::vector<std::uint8_t> Read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Replay(const std::string& target, FuzzOutcome (*run)(const std::uint8_t*, std::size_t)) {
  const std::vector<fs::path> inputs = InputsOf(target);
  ASSERT_FALSE(inputs.empty()) << "no saved inputs for " << target;
  for (const fs::path& input : inputs) {
    const std::vector<std::uint8_t> bytes = Read(input);
    const FuzzOutcome outcome = run(bytes.data(), bytes.size());
    for (const std::wstring& fault : outcome.faults) {
      ADD_FAILURE() << input.filename().string() << " (" << Narrow(outcome.what) << "): " << Narrow(fault);
    }
  }
}

TEST(FuzzReplay, ResetInputsPassEveryCheck) { Replay("reset", FuzzResetCase); }
TEST(FuzzReplay, DeleteTreeInputsPassEveryCheck) { Replay("delete_tree", FuzzDeleteTreeCase); }

}  // namespace
