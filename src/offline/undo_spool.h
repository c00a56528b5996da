#pragma once
// The undo records of an offline run, from the repair made in memory before
// the question to the undo file after it, copied into the undo file one part
// of the run at a time, just before that part's hives are written back. They
// are held in memory up to kHeldLength characters; past that all go, as they
// come, to a file of this machine's own (unnamed, in $TMPDIR, /var/tmp or
// /tmp), so that memory stays bounded however long they are.

#include <cstdint>
#include <string>
#include <vector>

#include "driver/undo_file.h"
#include "posix/file_descriptor.h"
#include "registry/undo_registry.h"

// A record in a file: where it starts, its size, and its first line (the
// key it is of).
struct UndoSpan {
  std::uint64_t at = 0;
  std::uint64_t size = 0;
  std::wstring line;
};

// The records as they come, spooled in batches. Each part of the run takes
// those of its changes once its lines are done.
class UndoSpool final : public UndoSink {
 public:
  // A spool that does not `keep` the records only counts them (a dry run).
  explicit UndoSpool(bool keep) : keep_(keep) {}

  [[nodiscard]] bool Write(const std::wstring& records) noexcept override;
  // The records since the last call, their places in characters of the spool.
  std::vector<UndoSpan> Take();
  // The bytes the records taken so far make in the undo file (UTF-16LE).
  std::uint64_t FileBytes() const noexcept { return fileBytes_; }
  // Reads `count` characters at `at` into `text`; false when that failed.
  bool Read(std::uint64_t at, std::uint64_t count, std::wstring& text);

 private:
  bool Spool(const std::wstring& records);
  bool Keep(const wchar_t* text, std::size_t count);

  static constexpr std::size_t kHeldLength = std::size_t{1} << 20;

  bool keep_;
  std::wstring held_;  // the records until they are spooled to `file_`
  FileDescriptor file_;
  bool spillFailed_ = false;
  bool failed_ = false;
  std::uint64_t end_ = 0;  // characters in the spool once the batch is written
  std::uint64_t fileBytes_ = 0;
  std::vector<UndoSpan> pending_;
};

// The undo file, written one part of the run (the machine's, or a
// profile's) at a time; the records of a hive that was not written are made
// comment lines again in place (their bytes blanked), so that the file offers
// to undo only what was done.
class HeldUndo final {
 public:
  explicit HeldUndo(std::wstring path) : path_(path), file_(std::move(path)) {}

  // Copies the records of a part from `spool` into the file and syncs it;
  // false when that, or an earlier one, failed (memory that ran out too).
  bool Commit(UndoSpool& spool, const std::vector<UndoSpan>& records) noexcept;
  // Makes comments of the records of the part last committed whose keys the
  // file names below `name`, in a file cut short too.
  void Withdraw(const std::wstring& name);
  bool Empty() const noexcept { return live_ == 0; }
  bool Complete() const noexcept { return complete_; }

 private:
  struct Held {
    UndoSpan span;  // in bytes of the undo file
    bool withdrawn = false;
  };
  bool CommitWhole(UndoSpool& spool, const std::vector<UndoSpan>& records);
  void Add(const std::wstring& text);
  bool Flush();
  void Put(const std::wstring& text);
  void ClampToWritten();
  static void Blank(int file, const UndoSpan& record);

  std::wstring path_;
  UndoFile file_;
  std::wstring batch_;
  std::uint64_t end_ = 0;  // the bytes of the file once the batch is written
  std::uint64_t flushed_ = 0;  // the bytes written whole
  std::vector<Held> last_;
  std::size_t live_ = 0;  // records committed and not withdrawn
  bool complete_ = true;
};
