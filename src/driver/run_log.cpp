#include "driver/run_log.h"

#include <cstdint>

#include "driver/log_file.h"

namespace {

// Writes the UTF-16LE code units of `ch` to `out`; returns how many bytes.
std::size_t EncodeUtf16Le(wchar_t ch, unsigned char* out) {
  const auto put = [out](std::size_t at, std::uint32_t unit) {
    out[at] = static_cast<unsigned char>(unit & 0xFF);
    out[at + 1] = static_cast<unsigned char>((unit >> 8) & 0xFF);
  };
  auto value = static_cast<std::uint32_t>(ch);
  if constexpr (sizeof(wchar_t) == 2) {
    put(0, value);
    return 2;
  } else {
    if (value > 0x10FFFF) value = 0xFFFD;  // no code point: the replacement character
    if (value < 0x10000) {
      put(0, value);
      return 2;
    }
    value -= 0x10000;
    put(0, 0xD800 + (value >> 10));
    put(2, 0xDC00 + (value & 0x3FF));
    return 4;
  }
}

}  // namespace

bool LogFileBuf::Open(const std::wstring& path) {
  static_cast<void>(Close());
  file_ = OpenLogFile(path);
  if (file_ == nullptr) return false;
  std::setvbuf(file_, fileBuffer_, _IOFBF, sizeof fileBuffer_);
  // The file begins with the byte-order mark, on disk before any text.
  static const unsigned char kByteOrderMark[] = {0xFF, 0xFE};
  if (std::fwrite(kByteOrderMark, 1, sizeof kByteOrderMark, file_) != sizeof kByteOrderMark ||
      std::fflush(file_) != 0) {
    static_cast<void>(Close());
    return false;
  }
  return true;
}

bool LogFileBuf::Close() noexcept {
  if (file_ == nullptr) return true;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  return closed;
}

std::streamsize LogFileBuf::xsputn(const wchar_t* text, std::streamsize count) {
  if (file_ == nullptr) return 0;
  unsigned char bytes[512];
  std::streamsize done = 0;
  while (done < count) {
    std::size_t used = 0;
    std::streamsize taken = 0;
    while (done + taken < count && used + 4 <= sizeof bytes) {
      used += EncodeUtf16Le(text[done + taken], bytes + used);
      ++taken;
    }
    if (std::fwrite(bytes, 1, used, file_) != used) return done;
    done += taken;
  }
  return done;
}

LogFileBuf::int_type LogFileBuf::overflow(int_type ch) {
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  const wchar_t single = traits_type::to_char_type(ch);
  return xsputn(&single, 1) == 1 ? ch : traits_type::eof();
}

int LogFileBuf::sync() { return file_ != nullptr && std::fflush(file_) == 0 ? 0 : -1; }

RunLog::RunLog(const std::wstring& logFilePath, std::wstreambuf& console)
    : tee_(&file_, &console), stream_(&tee_) {
  // A file that cannot be opened, or is refused, leaves a sink that takes
  // nothing; the run log goes on with the console alone.
  static_cast<void>(file_.Open(logFilePath));
}

std::unique_ptr<RunLog> OpenRunLog(const std::wstring& logFilePath, std::wstreambuf& console) {
  return std::make_unique<RunLog>(logFilePath, console);
}

void CloseRunLog(RunLog& log) {
  // Neither result is reported: the run goes on to its end either way.
  static_cast<void>(log.tee_.pubsync());
  static_cast<void>(log.file_.Close());
}
