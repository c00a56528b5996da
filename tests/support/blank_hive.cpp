#include "blank_hive.h"

#include <cstdlib>
#include <filesystem>

#include "hive/hive_file.h"

namespace hive_test {

ScratchFolder::ScratchFolder() {
  char folder[] = "/tmp/morvane-hive-XXXXXX";
  if (mkdtemp(folder) != nullptr) path = folder;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

bool WriteBlankHive(const std::string& path, std::uint32_t minorVersion) {
  const std::string command = "python3 " MORVANE_HIVES_PY " blank '" + path + "' " + std::to_string(minorVersion);
  return std::system(command.c_str()) == 0;
}

std::unique_ptr<HiveFile> OpenBlankHive(const std::string& path, std::uint32_t minorVersion) {
  std::string problem;
  return WriteBlankHive(path, minorVersion) ? HiveFile::Open(path, true, problem) : nullptr;
}

}  // namespace hive_test
