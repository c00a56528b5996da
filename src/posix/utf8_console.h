#pragma once
// The console of a system whose terminal takes UTF-8: every wide character of
// the run log is written as the UTF-8 bytes of its code point, and its lines
// end in LF, as Linux ends them (the run's texts end theirs in CR LF, as the
// log file on the Windows volume keeps them).

#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

#include "driver/services.h"
#include "driver/wide_sink.h"

// UTF-8 of the code points in `text`; a value that is no code point (a
// surrogate, or beyond U+10FFFF) becomes U+FFFD, so no value makes a write fail.
std::string EncodeUtf8(std::wstring_view text);

// The code points of UTF-8 `bytes`; each malformed sequence becomes U+FFFD.
std::wstring DecodeUtf8(std::string_view bytes);

// A wide stream buffer that hands UTF-8 to a narrow one (standard output).
class Utf8ConsoleBuf final : public WideSinkBuf {
 public:
  explicit Utf8ConsoleBuf(std::streambuf& target) noexcept : target_(&target) {}

 protected:
  std::streamsize xsputn(const wchar_t* text, std::streamsize count) override;
  int sync() override;

 private:
  std::streambuf* target_;
  bool carriageReturn_ = false;  // a CR written last, held to see whether LF follows
};

// The console over standard output, or over `target` when given one.
class Utf8Console final : public Console {
 public:
  Utf8Console();
  explicit Utf8Console(std::streambuf& target);

  // The terminal takes UTF-8 as it is; there is no mode to switch.
  void SetUtf16Mode() override {}
  std::wostream& Stream() override { return stream_; }

 private:
  Utf8ConsoleBuf buffer_;
  std::wostream stream_;
};
