#include "platform/win_environment.h"

#include <windows.h>

#include <algorithm>

namespace {

// The largest buffer one call can be told of; a value is at most 32767
// characters anyway.
DWORD BufferSize(std::size_t size) noexcept {
  return static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
}

}  // namespace

// With no buffer the system reports the size the value needs, terminating NUL
// included, and 0 when the variable does not exist.
std::size_t WinEnvironment::RequiredSize(const std::wstring& name) {
  return ::GetEnvironmentVariableW(name.c_str(), nullptr, 0);
}

// The result is not examined: the caller ends the value within its block
// whatever the copy did.
void WinEnvironment::Copy(const std::wstring& name, wchar_t* buffer, std::size_t size) {
  ::GetEnvironmentVariableW(name.c_str(), buffer, BufferSize(size));
}
