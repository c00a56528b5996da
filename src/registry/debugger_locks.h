#pragma once
#include <cstdint>
#include <ostream>
#include <string>

#include "registry/registry_access.h"

// What the removal of debuggers asks of the files of the Windows it repairs.
class SystemFiles {
 public:
  virtual ~SystemFiles() = default;
  // `text` with its %NAME% variables expanded as that Windows expands them;
  // a variable it does not know stays as it is written.
  virtual std::wstring Expand(const std::wstring& text) = 0;
  // Whether the full Windows path `path` names an existing file (not a
  // folder) of that Windows.
  virtual bool IsFile(const std::wstring& path) = 0;
};

// Removes, in both views of HKLM\Software's Image File Execution Options,
// each Debugger value of an image name's key (and of the filter keys below
// it), which makes Windows start that debugger in place of the program. One
// that starts a program installed in a folder of installed programs
// (ProgramFilesDir, "ProgramFilesDir (x86)") stays, with a line that says so:
// debuggers and replacements of Task Manager are installed there. Every other
// value and key stays; nothing is written when no Debugger value is there.
// Returns how many of them could not be removed.
std::uint32_t RemoveDebuggers(RegistryAccess& registry, std::wostream& runLog, SystemFiles& files);
