#include "platform/win_console.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <iostream>

// In UTF-16 text mode every wide character reaches the console unchanged,
// whatever the console's code page.
void WinConsole::SetUtf16Mode() { _setmode(_fileno(stdout), _O_U16TEXT); }

std::wostream& WinConsole::Stream() { return std::wcout; }
