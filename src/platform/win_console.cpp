#include "platform/win_console.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <wchar.h>

#include <iostream>

namespace {

bool PutCharacter(wchar_t ch) {
  if (fputwc(ch, stdout) != WEOF) return true;
  return ch == static_cast<wchar_t>(WEOF) && !ferror(stdout);
}

}  // namespace

std::streamsize WinConsoleBuf::xsputn(const wchar_t* text, std::streamsize count) {
  std::streamsize done = 0;
  while (done < count && PutCharacter(text[done])) ++done;
  return done;
}

WinConsoleBuf::int_type WinConsoleBuf::overflow(int_type ch) {
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  return PutCharacter(traits_type::to_char_type(ch)) ? ch : traits_type::eof();
}

int WinConsoleBuf::sync() { return fflush(stdout) == 0 ? 0 : -1; }

// In UTF-16 text mode every wide character reaches the console unchanged,
// whatever the console's code page.
void WinConsole::SetUtf16Mode() { _setmode(_fileno(stdout), _O_U16TEXT); }

std::wostream& WinConsole::Stream() { return std::wcout; }
