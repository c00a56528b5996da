// The offline registry over two blank hives in a scratch folder: one mounted
// as HKLM, one as the current user's HKCU. Format 1.3 keeps long values in one
// cell, which libhivex writes as Windows reads them.
#include "contract_backend.h"
#include "hive/hive_registry.h"
#include "support/blank_hive.h"

namespace {

const std::wstring kUser = L"S-1-5-21-1000-1000-1000-1000";

class ContractHives final : public HiveRegistry {
 public:
  ContractHives() {
    SetCurrentUser(kUser);
    if (machine_) Mount(L"\\Registry\\Machine", *machine_);
    if (user_) Mount(L"\\Registry\\User\\" + kUser, *user_);
  }

 private:
  hive_test::ScratchFolder folder_;  // removed after the hives are closed
  std::unique_ptr<HiveFile> machine_ = hive_test::OpenBlankHive(folder_.path + "/machine.hiv", 3);
  std::unique_ptr<HiveFile> user_ = hive_test::OpenBlankHive(folder_.path + "/user.hiv", 3);
};

}  // namespace

std::unique_ptr<RegistryAccess> MakeContractRegistry() { return std::make_unique<ContractHives>(); }

long OpenContractKeys(RegistryAccess& registry) {
  return static_cast<long>(static_cast<HiveRegistry&>(registry).OpenKeyCount());
}
