#pragma once
// Where the run's record goes on Windows: the Desktop as the shell names it,
// and the folder only administrators can write for when the Desktop cannot
// take the record.

#include <string>

#include "driver/services.h"

class WinRecordFolders final : public RecordFolders {
 public:
  std::wstring DesktopFolder() override;
  // Morvane at the system drive's root, else Morvane in the Windows folder's
  // Logs folder (from Vista on): the first that is, or can be made, a plain
  // folder that is owned by SYSTEM, the Administrators group or the run's own
  // account and that no one else may write in. Looked for once.
  std::wstring AdministratorsFolder() override;

 private:
  bool looked_ = false;
  std::wstring folder_;
};
