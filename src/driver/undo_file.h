#pragma once
// The undo file: the registry layer's undo records as a .reg file beside the
// log file, and the run log's line about it.

#include <ostream>
#include <string>

#include "driver/run_log.h"
#include "registry/undo_registry.h"

// The undo file beside `logFilePath`, in the same folder.
std::wstring UndoFilePath(const std::wstring& logFilePath);

// Opened at the first record, as the log file is opened (OpenLogFile), so that
// it has the log file's protections, and written as UTF-16LE with a
// byte-order mark; every record is flushed through before the change it
// undoes. A file that cannot be opened or written takes nothing more.
class UndoFile final : public UndoSink {
 public:
  explicit UndoFile(std::wstring path) : path_(std::move(path)) {}

  [[nodiscard]] bool Write(const std::wstring& records) noexcept override;

 private:
  std::wstring path_;
  LogFileBuf file_;
  bool opened_ = false;
};

// After the repair lines: how to undo what the run changed, or that the undo
// file could not be written; nothing when the run changed nothing.
void ReportUndoFile(std::wostream& runLog, const UndoRegistry& undo, const std::wstring& path);
