// The offline registry over two blank hives in a scratch folder: one mounted
// as HKLM, one as the current user's HKCU. Format 1.3 keeps long values in one
// cell, which libhivex writes as Windows reads them.
#include <cstdlib>
#include <filesystem>

#include "contract_backend.h"
#include "offline/hive_registry.h"
#include "support/blank_hive.h"

namespace {

class ContractHives final : public HiveRegistry {
 public:
  ContractHives() {
    char folder[] = "/tmp/morvane-contract-XXXXXX";
    folder_ = mkdtemp(folder) != nullptr ? folder : "";
    SetCurrentUser(L"S-1-5-21-1000-1000-1000-1000");
    machine_ = OpenBlank("machine.hiv");
    user_ = OpenBlank("user.hiv");
    if (machine_) Mount(L"\\Registry\\Machine", *machine_);
    if (user_) Mount(L"\\Registry\\User\\S-1-5-21-1000-1000-1000-1000", *user_);
  }
  ~ContractHives() override {
    machine_.reset();
    user_.reset();
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
  }

 private:
  std::unique_ptr<HiveFile> OpenBlank(const std::string& name) {
    const std::string path = folder_ + "/" + name;
    std::string problem;
    return hive_test::WriteBlankHive(path, 3) ? HiveFile::Open(path, true, problem) : nullptr;
  }

  std::string folder_;
  std::unique_ptr<HiveFile> machine_;
  std::unique_ptr<HiveFile> user_;
};

}  // namespace

std::unique_ptr<RegistryAccess> MakeContractRegistry() { return std::make_unique<ContractHives>(); }

long OpenContractKeys(RegistryAccess& registry) {
  return static_cast<long>(static_cast<HiveRegistry&>(registry).OpenKeyCount());
}
