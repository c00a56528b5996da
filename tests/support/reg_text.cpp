#include "support/reg_text.h"

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <utility>
#include <vector>

#include "registry/undo_reader.h"

bool ApplyRegText(RegistryAccess& registry, const std::wstring& text, std::wstring& badLine) {
  std::vector<RegRecord> records;
  RegProblem problem;
  if (!ReadRegText(text, records, problem)) {
    badLine = L"line " + std::to_wstring(problem.line) + L": " + problem.what;
    return false;
  }
  constexpr std::pair<const wchar_t*, RegistryRoot> kRoots[] = {{L"HKEY_LOCAL_MACHINE\\", RegistryRoot::HKLM},
                                                                {L"HKEY_CURRENT_USER\\", RegistryRoot::HKCU}};
  for (const RegRecord& record : records) {
    badLine = L"line " + std::to_wstring(record.line) + L": " + record.key;
    const auto root = std::find_if(std::begin(kRoots), std::end(kRoots), [&](const auto& known) {
      return record.key.rfind(known.first, 0) == 0;
    });
    bool changed = false;
    if (root == std::end(kRoots) ||
        ApplyRegRecord(registry, root->second, record.key.substr(std::wcslen(root->first)), record, changed) !=
            kRegistrySuccess) {
      return false;
    }
  }
  return true;
}
