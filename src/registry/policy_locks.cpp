#include "registry/policy_locks.h"

#include <string>

#include "registry/operations.h"
#include "registry/user_override.h"

namespace {

const std::wstring kSoftware = L"Software";

struct PolicyLock {
  const wchar_t* key;    // below Software
  const wchar_t* value;
  bool list;             // a subkey of the same name lists the programs
};

// Windows sets none of these itself; malware sets them so that neither the
// programs nor the tools that would repair them start.
constexpr PolicyLock kPolicyLocks[] = {
    {L"Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer", L"DisallowRun", true},
    {L"Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer", L"RestrictRun", true},
    {L"Microsoft\\Windows\\CurrentVersion\\Policies\\System", L"DisableTaskMgr", false},
    {L"Microsoft\\Windows\\CurrentVersion\\Policies\\System", L"DisableRegistryTools", false},
    {L"Policies\\Microsoft\\Windows\\System", L"DisableCMD", false},
};

// Group Policy records, once it applied a domain's policy to the machine,
// the machine's name in the domain here; a machine outside a domain has none.
const std::wstring kMachinePolicyState = L"Software\\Microsoft\\Windows\\CurrentVersion\\Group Policy\\State\\Machine";
const std::wstring kDistinguishedName = L"Distinguished-Name";
// Said after the deletion of a policy on such a machine.
constexpr wchar_t kDomainNote[] = L" This machine is a member of a domain: its Group Policy may set it again.";

// Deletes the list of program names of a DisallowRun or RestrictRun policy.
std::uint32_t RemoveList(RegistryAccess& registry, std::wostream& runLog, RegistryRoot root,
                         const std::wstring& relative, const std::wstring& note) {
  const std::wstring shown = (root == RegistryRoot::HKCU ? L"HKCU\\" : L"HKLM\\") + kSoftware + L"\\" + relative;
  const RegistryChange gone = DeleteKeyTreeBelow(registry, root, kSoftware, relative);
  if (gone) {
    runLog << L"  * " << shown << L" has been deleted!" << note << L"\r\n\r\n";
    runLog.flush();
    return 0;
  }
  if (gone.error == kRegistrySuccess) return 0;
  ReportFailure(runLog, shown, gone.error);
  return 1;
}

}  // namespace

std::uint32_t RemovePolicyLocks(RegistryAccess& registry, std::wostream& runLog, RegistryRoot root) {
  std::uint32_t failures = 0;
  const std::wstring note =
      ReadTextValue(registry, RegistryRoot::HKLM, kMachinePolicyState, kDistinguishedName).empty() ? L"" : kDomainNote;
  for (const PolicyLock& lock : kPolicyLocks) {
    failures += RemoveReportedValue(registry, runLog, root, kSoftware, lock.key, lock.value, note);
    if (lock.list) {
      failures += RemoveList(registry, runLog, root, std::wstring(lock.key) + L"\\" + lock.value, note);
    }
  }
  return failures;
}
