#include "driver/undo_file.h"

#include <utility>

namespace {
constexpr wchar_t kUndoFileName[] = L"Morvane-undo.reg";
}  // namespace

std::wstring UndoFilePath(const std::wstring& logFilePath) {
  const std::size_t cut = logFilePath.find_last_of(L"\\/");
  return cut == std::wstring::npos ? kUndoFileName : logFilePath.substr(0, cut + 1) + kUndoFileName;
}

bool UndoFile::Write(const std::wstring& records) noexcept {
  if (!opened_) {
    opened_ = true;
    static_cast<void>(file_.Open(path_));
  }
  const auto count = static_cast<std::streamsize>(records.size());
  return file_.IsOpen() && file_.sputn(records.data(), count) == count && file_.pubsync() == 0;
}

void ReportUndoFile(std::wostream& runLog, const UndoRegistry& undo, const std::wstring& path) {
  if (!undo.Changed()) return;
  if (undo.Complete()) {
    runLog << L"  * To undo these changes: reg import \"" << path << L"\"\r\n\r\n";
  } else {
    runLog << L"  * The undo file \"" << path << L"\" could not be written!\r\n\r\n";
  }
  runLog.flush();
}
