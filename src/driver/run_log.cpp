#include "driver/run_log.h"

#include <cstdint>

#include "driver/console_bytes.h"
#include "driver/log_file.h"

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
