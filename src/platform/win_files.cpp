#include "platform/win_files.h"

#include <windows.h>

#include <vector>

namespace {

// ExpandEnvironmentStringsW takes at most 32K characters.
constexpr DWORD kMaxExpanded = 32768;

}  // namespace

std::wstring WinSystemFiles::Expand(const std::wstring& text) {
  if (text.find(L'%') == std::wstring::npos) return text;
  std::vector<wchar_t> buffer(kMaxExpanded);
  const DWORD length = ::ExpandEnvironmentStringsW(text.c_str(), buffer.data(), kMaxExpanded);
  // The length counts the terminating NUL.
  if (length == 0 || length > kMaxExpanded) return text;
  return std::wstring(buffer.data(), length - 1);
}

bool WinSystemFiles::IsFile(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
