#pragma once
// The Windows console: standard output, written through the system alone so
// that the text reaches it in UTF-16 whatever the C runtime supports.

#include <ostream>
#include <string>
#include <string_view>

#include "driver/console_bytes.h"
#include "driver/services.h"

// When standard output is a console, the text goes to it with WriteConsoleW,
// which shows every character whatever the console's code page. When it is a
// file or a pipe, it receives the bytes of the C runtime's text modes
// (AppendConsoleBytes) with WriteFile.
class WinConsoleBuf final : public ConsoleBuf {
 public:
  WinConsoleBuf() noexcept;

 protected:
  bool WriteText(std::wstring_view text) override;
  bool WriteBytes(const std::string& bytes) override;

 private:
  void* output_;  // the standard output handle
  bool isConsole_;
};

class WinConsole final : public Console {
 public:
  WinConsole() : stream_(&sink_) {}

  void SetUtf16Mode() override { sink_.SwitchToUtf16(); }
  std::wostream& Stream() override { return stream_; }
  std::wstreambuf& Sink() override { return sink_; }

 private:
  WinConsoleBuf sink_;
  std::wostream stream_;
};
