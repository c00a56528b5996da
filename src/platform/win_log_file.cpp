#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <string>

#include "driver/log_file.h"
#include "platform/unique_handle.h"

namespace {

// A folder that is a reparse point (a junction or a symbolic link) could lead
// anywhere; one whose attributes cannot be read holds no log file either.
bool IsPlainFolder(const std::wstring& folder) noexcept {
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

}  // namespace

// The file is shared for reading and writing, so that the log can be watched
// while the run goes on. It is opened without truncation and emptied only once
// the open handle shows a plain file with one name.
std::FILE* OpenLogFile(const std::wstring& path) noexcept {
  const std::size_t cut = path.rfind(L'\\');
  if (cut != std::wstring::npos && !IsPlainFolder(path.substr(0, cut))) return nullptr;

  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return nullptr;
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(file.get(), &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || information.nNumberOfLinks > 1 ||
      !::SetEndOfFile(file.get())) {
    return nullptr;
  }

  // The C runtime takes the handle over: from here on fclose closes it.
  const int descriptor = ::_open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_APPEND | _O_BINARY);
  if (descriptor == -1) return nullptr;
  static_cast<void>(file.release());
  std::FILE* stream = ::_fdopen(descriptor, "ab");
  if (stream == nullptr) ::_close(descriptor);
  return stream;
}
