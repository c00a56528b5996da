#include "driver/undo_file.h"

#include <utility>
#include <vector>

#include "driver/console_bytes.h"
#include "driver/log_file.h"

namespace {
constexpr wchar_t kUndoFileName[] = L"Morvane-undo.reg";
}  // namespace

std::wstring UndoFilePath(const std::wstring& logFilePath) {
  const std::size_t cut = logFilePath.find_last_of(L"\\/");
  return cut == std::wstring::npos ? kUndoFileName : logFilePath.substr(0, cut + 1) + kUndoFileName;
}

std::wstring UndoFileIn(const std::wstring& folder) { return folder + L"\\" + kUndoFileName; }

bool UndoFile::Append(const std::wstring& text) noexcept {
  std::vector<unsigned char> bytes;
  if (whole_ == 0) bytes = {0xFF, 0xFE};  // the byte-order mark
  unsigned char unit[4];
  for (const wchar_t ch : text) bytes.insert(bytes.end(), unit, unit + EncodeUtf16Le(ch, unit));
  const Appended appended = AppendWhole(file_.get(), bytes.data(), bytes.size(), true);
  if (appended == Appended::kFailed) return false;
  unflushed_ = unflushed_ || appended == Appended::kWholeUnflushed;
  whole_ += bytes.size();
  return true;
}

// Cuts the file back to its whole records and says that it ends there.
bool UndoFile::Incomplete() noexcept {
  failed_ = true;
  if (CutFile(file_.get(), whole_)) static_cast<void>(Append(kIncompleteUndoLine));
  return false;
}

bool UndoFile::Opened() noexcept {
  if (!opened_) {
    opened_ = true;
    if (!path_.empty()) file_.reset(OpenLogFile(path_));
    const std::wstring folder = file_ || elsewhere_ == nullptr ? std::wstring() : elsewhere_->AdministratorsFolder();
    if (!folder.empty() && UndoFileIn(folder) != path_) {
      file_.reset(OpenLogFile(UndoFileIn(folder)));
      if (file_) path_ = UndoFileIn(folder);
    }
  }
  return file_ && !failed_;
}

bool UndoFile::Write(const std::wstring& records) noexcept { return Opened() && (Append(records) || Incomplete()); }

bool UndoFile::Rewrite(const std::wstring& records) noexcept {
  if (!Opened()) return false;
  if (!CutFile(file_.get(), 0)) return Incomplete();
  whole_ = 0;
  return Append(records) || Incomplete();
}

void ReportUnflushedUndoFile(std::wostream& runLog, const UndoFile& file) {
  if (!file.Unflushed()) return;
  runLog << L"  * Warning: the file system of \"" << file.Path()
         << L"\" does not support flushing a file to the disk; the undo file was written whole, but may reach the "
            L"disk only later.\r\n\r\n";
  runLog.flush();
}

void ReportUndoFile(std::wostream& runLog, const UndoRegistry& undo, const std::wstring& path) {
  if (!undo.Changed() && undo.Complete()) return;
  if (undo.Complete()) {
    runLog << L"  * To undo these changes: reg import \"" << path << L"\"\r\n\r\n";
  } else if (path.empty()) {
    runLog << L"  * The undo file could be written neither on the Desktop nor in a folder only administrators can "
              L"write, and the changes it could not record were not made!\r\n\r\n";
  } else {
    runLog << L"  * The undo file \"" << path << L"\" could not be written, and the changes it could not record were not made!\r\n\r\n";
  }
  runLog.flush();
}
