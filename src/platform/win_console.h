#pragma once
// The Windows console: standard output switched to UTF-16 text mode, and the
// standard wide output stream that writes to it.

#include <ostream>
#include <streambuf>

#include "driver/services.h"

// Writes each wide character to standard output. Unlike the standard wide
// stream's own buffer, it takes U+FFFF as the character it is: the C runtime
// reports writing it with the value that also means failure, so a failure is
// told by the stream's error flag instead.
class WinConsoleBuf final : public std::wstreambuf {
 protected:
  std::streamsize xsputn(const wchar_t* text, std::streamsize count) override;
  int_type overflow(int_type ch) override;
  int sync() override;
};

class WinConsole final : public Console {
 public:
  void SetUtf16Mode() override;
  std::wostream& Stream() override;
  std::wstreambuf& Sink() override { return sink_; }

 private:
  WinConsoleBuf sink_;
};
