#pragma once
// The files of the running Windows, as the removal of debuggers asks about them.

#include <string>

#include "registry/debugger_locks.h"

class WinSystemFiles final : public SystemFiles {
 public:
  // ExpandEnvironmentStringsW over the process's environment; the text as it
  // stands when that fails.
  std::wstring Expand(const std::wstring& text) override;
  // GetFileAttributesW: there, and not a folder.
  bool IsFile(const std::wstring& path) override;
};
