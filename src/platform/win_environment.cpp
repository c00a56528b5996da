#include "platform/win_environment.h"

#include <stdlib.h>

// _wgetenv_s looks the name up without regard to case. Its return code is not
// examined: a missing variable reports a size of 0.
std::size_t WinEnvironment::RequiredSize(const std::wstring& name) {
  std::size_t required = 0;
  _wgetenv_s(&required, nullptr, 0, name.c_str());
  return required;
}

void WinEnvironment::Copy(const std::wstring& name, wchar_t* buffer, std::size_t size) {
  std::size_t required = 0;
  _wgetenv_s(&required, buffer, size, name.c_str());
}
