#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "driver/log_file.h"
#include "posix/utf8_console.h"

// The log file path is formed the Windows way, with backslashes; here the
// backslash is taken as the folder separator and the name is passed as UTF-8.
// A symbolic link stands for the reparse point, a second hard link for a
// second name.
std::FILE* OpenLogFile(const std::wstring& path) noexcept {
  std::wstring local = path;
  for (wchar_t& ch : local) {
    if (ch == L'\\') ch = L'/';
  }
  const std::string narrow = EncodeUtf8(local);
  const std::size_t cut = narrow.rfind('/');
  struct stat status {};
  if (cut != std::string::npos && cut > 0 &&
      (::lstat(narrow.substr(0, cut).c_str(), &status) != 0 || S_ISLNK(status.st_mode))) {
    return nullptr;
  }
  // Not blocking: a FIFO at that name would hold the run until read.
  const int file =
      ::open(narrow.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (file < 0) return nullptr;
  // Only a regular file of one name is the run's own, emptied once known to
  // be; anything else leaves the console to carry the run.
  if (::fstat(file, &status) != 0 || status.st_nlink > 1 || !S_ISREG(status.st_mode) ||
      ::ftruncate(file, 0) != 0) {
    ::close(file);
    return nullptr;
  }
  std::FILE* stream = ::fdopen(file, "ab");
  if (stream == nullptr) ::close(file);
  return stream;
}

Appended AppendWhole(std::FILE* file, const unsigned char* bytes, std::size_t size, bool durable) noexcept {
  if (std::fflush(file) != 0) return Appended::kFailed;
  const int descriptor = ::fileno(file);
  // One call writes it all; only a short write is followed by another for the rest.
  for (std::size_t done = 0; done < size;) {
    const ssize_t put = ::write(descriptor, bytes + done, size - done);
    if (put <= 0) return Appended::kFailed;
    done += static_cast<std::size_t>(put);
  }
  if (!durable || ::fsync(descriptor) == 0) return Appended::kWhole;
  // A file that does not support synchronisation says so with EINVAL.
  return errno == EINVAL || errno == ENOTSUP ? Appended::kWholeUnflushed : Appended::kFailed;
}

bool CutFile(std::FILE* file, std::uint64_t size) noexcept {
  return std::fflush(file) == 0 && ::ftruncate(::fileno(file), static_cast<off_t>(size)) == 0;
}
