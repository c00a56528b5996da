#pragma once
// The undo file: the registry layer's undo records as a .reg file beside the
// log file, and the run log's line about it.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>

#include "driver/run_log.h"
#include "driver/services.h"
#include "registry/undo_registry.h"

// The last line of an undo file that could not take all its records.
inline constexpr wchar_t kIncompleteUndoLine[] =
    L"; This file is incomplete: what follows could not be written, and the changes it would undo were not "
    L"made.\r\n";

// The undo file beside `logFilePath`, in the same folder.
std::wstring UndoFilePath(const std::wstring& logFilePath);
// The undo file in `folder`.
std::wstring UndoFileIn(const std::wstring& folder);

// Opened at the first record, as the log file is opened (OpenLogFile), so that
// it has the log file's protections, and written as UTF-16LE with a
// byte-order mark. Each record reaches the file in one write and the disk
// before Write returns: the change it undoes comes after. A record that cannot be written whole is cut off again, the
// file ending instead with a line that says it is incomplete, and the file
// takes nothing more: a cut record would read as a shorter value.
//
// When `path` cannot be opened, the file goes to the administrators' folder
// of `elsewhere`, if there is one; Path() names the file used.
class UndoFile final : public UndoSink {
 public:
  explicit UndoFile(std::wstring path, RecordFolders* elsewhere = nullptr)
      : path_(std::move(path)), elsewhere_(elsewhere) {}

  [[nodiscard]] const std::wstring& Path() const noexcept { return path_; }
  // Whether a record was written whole but its flush to the disk was refused
  // as not supported: the run goes on, with a warning.
  [[nodiscard]] bool Unflushed() const noexcept { return unflushed_; }

  [[nodiscard]] bool Write(const std::wstring& records) noexcept override;
  // Writes `records` in place of all the file held, in the same way.
  [[nodiscard]] bool Rewrite(const std::wstring& records) noexcept;
  // Cuts the file back to what it held after its last whole write, says that
  // it ends there, and takes no more: a record written only in part.
  void MarkIncomplete() noexcept {
    if (Opened()) static_cast<void>(Incomplete());
  }

 private:
  bool Opened() noexcept;
  bool Append(const std::wstring& text) noexcept;
  bool Incomplete() noexcept;

  struct Closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
  };
  std::wstring path_;
  RecordFolders* elsewhere_;
  std::unique_ptr<std::FILE, Closer> file_;
  bool opened_ = false;
  bool failed_ = false;
  bool unflushed_ = false;
  std::uint64_t whole_ = 0;  // bytes of whole records in the file
};

// The warning of an undo file whose flush to the disk was refused as not
// supported; nothing otherwise.
void ReportUnflushedUndoFile(std::wostream& runLog, const UndoFile& file);

// After the repair lines: how to undo what the run changed, or that the undo
// file could not be written; nothing when the run changed nothing.
void ReportUndoFile(std::wostream& runLog, const UndoRegistry& undo, const std::wstring& path);
