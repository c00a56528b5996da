#include "offline/undo_spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cwchar>
#include <new>

#include "driver/console_bytes.h"
#include "posix/utf8_console.h"

namespace {

// Characters gathered before they are written through to the undo file, and
// read from the spool at a time.
constexpr std::size_t kBatchLength = std::size_t{256} << 10;

// The bytes of `text` in UTF-16LE.
std::uint64_t Utf16Bytes(const wchar_t* text, std::size_t count) {
  std::uint64_t bytes = 0;
  unsigned char unit[4];
  for (std::size_t i = 0; i < count; ++i) bytes += EncodeUtf16Le(text[i], unit);
  return bytes;
}

// A file of this machine's own with no name, for the spool: in $TMPDIR, else
// /var/tmp, else /tmp. -1 when none can be made.
int AnonymousFile() {
  std::vector<std::string> folders;
  if (const char* chosen = std::getenv("TMPDIR"); chosen != nullptr && *chosen != '\0') folders.push_back(chosen);
  folders.push_back("/var/tmp");
  folders.push_back("/tmp");
  for (const std::string& folder : folders) {
    int file = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (file >= 0) return file;
    // A file system without unnamed files: a named one, unlinked at once.
    std::string name = folder + "/morvane-undo-XXXXXX";
    file = mkostemp(name.data(), O_CLOEXEC);
    if (file < 0) continue;
    unlink(name.c_str());
    return file;
  }
  return -1;
}

bool WriteAll(int file, const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = write(file, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

bool UndoSpool::Write(const std::wstring& records) noexcept {
  try {
    return Spool(records);
  } catch (const std::bad_alloc&) {
    return false;  // the change it records is not made
  }
}

// Each piece is kept before the change it records is made.
bool UndoSpool::Spool(const std::wstring& records) {
  if (failed_) return false;
  // The header goes first in the undo file, whichever part it came with.
  const std::size_t header = std::wcslen(kRegFileHeader);
  const std::size_t from = records.compare(0, header, kRegFileHeader) == 0 ? header : 0;
  if (from >= records.size()) return true;
  if (keep_ && !Keep(records.data() + from, records.size() - from)) {
    // What the spool holds past its last whole record is of no use now.
    failed_ = true;
    return false;
  }
  // A long record comes in pieces: each but the first goes on the record before.
  const bool continued = !pending_.empty() && records[from] != L'[' && records[from] != L';';
  if (!continued) {
    const std::size_t line = records.find(L'\n', from);
    pending_.push_back(UndoSpan{end_, 0, records.substr(from, line == std::wstring::npos ? line : line - from)});
  }
  end_ += records.size() - from;
  pending_.back().size = end_ - pending_.back().at;
  fileBytes_ += Utf16Bytes(records.data() + from, records.size() - from);
  return true;
}

bool UndoSpool::Keep(const wchar_t* text, std::size_t count) {
  if (file_.get() < 0 && held_.size() + count <= kHeldLength) {
    held_.append(text, count);
    return true;
  }
  if (file_.get() < 0) {
    // The records held stay readable when no file can take them.
    FileDescriptor spill(spillFailed_ ? -1 : AnonymousFile());
    if (spill.get() < 0 || !WriteAll(spill.get(), held_.data(), held_.size() * sizeof(wchar_t))) {
      spillFailed_ = true;
      return false;
    }
    file_ = std::move(spill);
    std::wstring().swap(held_);
  }
  return WriteAll(file_.get(), text, count * sizeof(wchar_t));
}

std::vector<UndoSpan> UndoSpool::Take() {
  std::vector<UndoSpan> taken;
  taken.swap(pending_);
  return taken;
}

bool UndoSpool::Read(std::uint64_t at, std::uint64_t count, std::wstring& text) {
  if (file_.get() < 0) {
    if (at > held_.size() || count > held_.size() - at) return false;
    text.assign(held_, static_cast<std::size_t>(at), static_cast<std::size_t>(count));
    return true;
  }
  text.resize(static_cast<std::size_t>(count));
  char* bytes = reinterpret_cast<char*>(text.data());
  std::size_t left = text.size() * sizeof(wchar_t);
  auto offset = static_cast<off_t>(at * sizeof(wchar_t));
  while (left > 0) {
    const ssize_t got = pread(file_.get(), bytes, left, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    offset += got;
    left -= static_cast<std::size_t>(got);
  }
  return true;
}

bool HeldUndo::Commit(UndoSpool& spool, const std::vector<UndoSpan>& records) noexcept {
  try {
    return CommitWhole(spool, records);
  } catch (const std::bad_alloc&) {
    // What reached the file stays, and the file says it is incomplete when
    // it is next written; no hive of the part is written.
    std::wstring().swap(batch_);
    complete_ = false;
    file_.MarkIncomplete();
    ClampToWritten();
    return false;
  }
}

bool HeldUndo::CommitWhole(UndoSpool& spool, const std::vector<UndoSpan>& records) {
  last_.clear();
  std::wstring piece;
  for (const UndoSpan& record : records) {
    if (end_ == 0) {
      end_ = 2;  // the byte-order mark
      Add(kRegFileHeader);
    }
    // Listed before it is copied, so that one copied in part is withdrawn too.
    last_.push_back(Held{UndoSpan{end_, 0, record.line}});
    ++live_;
    for (std::uint64_t done = 0; done < record.size;) {
      const std::uint64_t count = std::min<std::uint64_t>(kBatchLength, record.size - done);
      if (!spool.Read(record.at + done, count, piece)) complete_ = false;
      if (!complete_) return false;
      Add(piece);
      last_.back().span.size = end_ - last_.back().span.at;
      done += count;
      if (batch_.size() >= kBatchLength && !Flush()) return false;
    }
  }
  if (!batch_.empty()) Put(batch_);
  std::wstring().swap(batch_);
  return complete_;
}

void HeldUndo::Add(const std::wstring& text) {
  batch_ += text;
  end_ += Utf16Bytes(text.data(), text.size());
}

// Writes the batch through to its last line end (UndoFile syncs it): a file
// that cannot take the rest is cut back to a line's end.
bool HeldUndo::Flush() {
  const std::size_t cut = batch_.rfind(L'\n');
  if (cut == std::wstring::npos) return complete_;
  if (cut + 1 == batch_.size()) {
    Put(batch_);
    batch_.clear();
  } else {
    Put(batch_.substr(0, cut + 1));
    batch_.erase(0, cut + 1);
  }
  return complete_;
}

// Writes `text` through. A file that fails is cut back to what it held
// before (UndoFile), and the records reach no further than that.
void HeldUndo::Put(const std::wstring& text) {
  complete_ = complete_ && file_.Write(text);
  if (complete_) {
    flushed_ += (flushed_ == 0 ? 2 : 0) + Utf16Bytes(text.data(), text.size());
    return;
  }
  ClampToWritten();
}

// The records of the part end where the file's whole writes end.
void HeldUndo::ClampToWritten() {
  for (Held& held : last_) held.span.size = std::min(held.span.size, flushed_ - std::min(flushed_, held.span.at));
}

void HeldUndo::Withdraw(const std::wstring& name) {
  // Also in a file cut short: what it holds of the part is not to be imported.
  FileDescriptor file(end_ > 0 ? open(EncodeUtf8(path_).c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) : -1);
  struct stat status {};
  if (file.get() >= 0 && (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1)) {
    file = FileDescriptor();
  }
  for (Held& held : last_) {
    if (held.withdrawn || held.span.line.find(name) == std::wstring::npos) continue;
    held.withdrawn = true;
    --live_;
    if (file.get() >= 0) Blank(file.get(), held.span);
  }
  if (file.get() >= 0) static_cast<void>(fsync(file.get()));
}

// Each line of the record becomes a comment of the same length: the first
// says why (as much of it as the line holds), the others are blank.
void HeldUndo::Blank(int file, const UndoSpan& record) {
  constexpr char kWhy[] = "; Not made: its registry file was not written.";
  std::vector<unsigned char> bytes(std::size_t{1} << 16);
  bool lineStart = true;
  std::size_t first = 0;  // the characters of the first line so far
  for (std::uint64_t done = 0; done < record.size;) {
    std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), record.size - done));
    const auto at = static_cast<off_t>(record.at + done);
    // A file cut back ends the record early.
    const ssize_t got = pread(file, bytes.data(), count, at);
    if (got <= 0) return;
    count = static_cast<std::size_t>(got) & ~std::size_t{1};
    for (std::size_t i = 0; i + 1 < count; i += 2) {
      const bool lineEnd = bytes[i + 1] == 0 && (bytes[i] == '\r' || bytes[i] == '\n');
      const bool firstLine = first != std::string::npos;
      if (lineEnd) {
        first = std::string::npos;
      } else {
        bytes[i] = static_cast<unsigned char>(firstLine && first + 1 < sizeof kWhy ? kWhy[first]
                                              : lineStart                         ? ';'
                                                                                  : ' ');
        bytes[i + 1] = 0;
        if (firstLine) ++first;
      }
      lineStart = lineEnd;
    }
    if (count == 0 || pwrite(file, bytes.data(), count, at) != static_cast<ssize_t>(count)) return;
    done += count;
  }
}
