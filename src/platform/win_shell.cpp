#include "platform/win_shell.h"

#include <windows.h>
#include <shlobj.h>

void WinShell::AssociationsChanged() {
  // The event carries no items; Explorer rereads every association.
  ::SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
}
