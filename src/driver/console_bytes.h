#pragma once
// The console's text as bytes, for a standard output that is a file or a pipe:
// exactly what the C runtime's text modes write there, produced here so that
// the result does not depend on which modes the system's C runtime knows.

#include <cstddef>
#include <streambuf>
#include <string>
#include <string_view>

#include "driver/wide_sink.h"

// Writes the UTF-16LE code units of `ch` to `out` (room for 4 bytes): a
// character beyond U+FFFF as its surrogate pair where wide characters are 32
// bits wide, a value beyond U+10FFFF as U+FFFD. Returns how many bytes.
std::size_t EncodeUtf16Le(wchar_t ch, unsigned char* out) noexcept;

// Appends the bytes of `text` to `out`. In UTF-16 mode its UTF-16LE code
// units, as the wide text mode writes them; otherwise one byte a character, as
// the ANSI text mode of the "C" locale writes it (a character beyond U+00FF,
// which that mode cannot write, as '?'). In both modes each line feed goes out
// preceded by a carriage return (so CR LF goes out as CR CR LF), and no
// byte-order mark is written.
void AppendConsoleBytes(std::wstring_view text, bool utf16, std::string& out);

// The console's stream buffer: unbuffered, it hands the text on at once, in
// blocks of 256 characters, 8-bit until SwitchToUtf16 is called and in UTF-16
// after. A block counts as written only when all of its output was taken, and
// a write that fails ends the call, so the run log drops a failing console.
class ConsoleBuf : public WideSinkBuf {
 public:
  void SwitchToUtf16() noexcept { utf16_ = true; }

 protected:
  // Hands `text` on as the console shows it; false when it was not all
  // taken. By default its bytes (AppendConsoleBytes), to WriteBytes.
  virtual bool WriteText(std::wstring_view text);
  // Writes all of `bytes`; false when that fails.
  virtual bool WriteBytes(const std::string& bytes) = 0;

  std::streamsize xsputn(const wchar_t* text, std::streamsize count) override;
  int sync() override { return 0; }

 private:
  bool utf16_ = false;
};
