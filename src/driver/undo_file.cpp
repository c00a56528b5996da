#include "driver/undo_file.h"

#include <utility>
#include <vector>

#include "driver/console_bytes.h"
#include "driver/log_file.h"

namespace {
constexpr wchar_t kUndoFileName[] = L"Morvane-undo.reg";
constexpr wchar_t kIncompleteLine[] =
    L"; This file is incomplete: what follows could not be written, and the changes it would undo were not "
    L"made.\r\n";
}  // namespace

std::wstring UndoFilePath(const std::wstring& logFilePath) {
  const std::size_t cut = logFilePath.find_last_of(L"\\/");
  return cut == std::wstring::npos ? kUndoFileName : logFilePath.substr(0, cut + 1) + kUndoFileName;
}

bool UndoFile::Append(const std::wstring& text, bool durable) noexcept {
  std::vector<unsigned char> bytes;
  if (whole_ == 0) bytes = {0xFF, 0xFE};  // the byte-order mark
  unsigned char unit[4];
  for (const wchar_t ch : text) bytes.insert(bytes.end(), unit, unit + EncodeUtf16Le(ch, unit));
  if (!AppendWhole(file_.get(), bytes.data(), bytes.size(), durable)) return false;
  whole_ += bytes.size();
  return true;
}

// Cuts the file back to its whole records and says that it ends there.
bool UndoFile::Incomplete() noexcept {
  failed_ = true;
  if (CutFile(file_.get(), whole_)) static_cast<void>(Append(kIncompleteLine, true));
  return false;
}

bool UndoFile::Write(const std::wstring& records) noexcept {
  if (!opened_) {
    opened_ = true;
    file_.reset(OpenLogFile(path_));
  }
  if (!file_ || failed_) return false;
  return Append(records, durableEachRecord_) || Incomplete();
}

bool UndoFile::MakeDurable() noexcept {
  if (!file_ || failed_) return !opened_;
  return AppendWhole(file_.get(), nullptr, 0, true) || Incomplete();
}

void ReportUndoFile(std::wostream& runLog, const UndoRegistry& undo, const std::wstring& path) {
  if (!undo.Changed() && undo.Complete()) return;
  if (undo.Complete()) {
    runLog << L"  * To undo these changes: reg import \"" << path << L"\"\r\n\r\n";
  } else {
    runLog << L"  * The undo file \"" << path << L"\" could not be written, and the changes it could not record were not made!\r\n\r\n";
  }
  runLog.flush();
}
