#include <windows.h>
#include <winternl.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <string>

#include "driver/log_file.h"
#include "platform/unique_handle.h"

namespace {

// The longest name a UNICODE_STRING holds, in characters.
constexpr std::size_t kLongestName = 0x7FFF;

// The folder itself, not what a reparse point at its name leads to: a
// directory handle that the file is then created relative to, so that the
// folder checked is the folder written in, whatever happens to its name
// meanwhile. Refused (invalid) when it is no directory or a reparse point that
// stands for another name (a junction or a symbolic link could lead anywhere);
// one of another kind, as a cloud file's folder is, is the folder itself.
UniqueFileHandle OpenPlainFolder(const std::wstring& folder) noexcept {
  UniqueFileHandle handle(::CreateFileW(folder.c_str(), FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
  BY_HANDLE_FILE_INFORMATION information{};
  if (!handle.valid() || !::GetFileInformationByHandle(handle.get(), &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return UniqueFileHandle();
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return handle;
  // The reparse point's tag, asked of the handle itself.
  FILE_ATTRIBUTE_TAG_INFORMATION tag{};
  IO_STATUS_BLOCK status{};
  if (::NtQueryInformationFile(handle.get(), &status, &tag, sizeof tag, FileAttributeTagInformation) < 0 ||
      IsReparseTagNameSurrogate(tag.ReparseTag)) {
    return UniqueFileHandle();
  }
  return handle;
}

// Creates or opens the file `name` in the folder behind `folder` for writing,
// as CreateFileW with OPEN_ALWAYS would (case-insensitive name, synchronous
// handle), but without following a reparse point at the name and never a
// directory.
UniqueFileHandle OpenInFolder(HANDLE folder, const std::wstring& name) noexcept {
  UNICODE_STRING objectName{};
  objectName.Buffer = const_cast<wchar_t*>(name.c_str());
  objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  objectName.MaximumLength = objectName.Length;
  OBJECT_ATTRIBUTES attributes{};
  InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK status{};
  HANDLE file = INVALID_HANDLE_VALUE;
  const NTSTATUS result =
      ::NtCreateFile(&file, GENERIC_WRITE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &status, nullptr,
                     FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
                     FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
  return UniqueFileHandle(result >= 0 ? file : INVALID_HANDLE_VALUE);  // a status below 0 is a failure
}

}  // namespace

// The file is shared for reading and writing, so that the log can be watched
// while the run goes on. It is opened without truncation and emptied only once
// the open handle shows a plain file with one name.
std::FILE* OpenLogFile(const std::wstring& path) noexcept {
  // The folder is what comes before the last backslash (a drive's root with
  // it); a name alone is in the current folder.
  const std::size_t cut = path.rfind(L'\\');
  std::wstring folderPath = cut == std::wstring::npos ? L"." : path.substr(0, cut);
  if (folderPath.empty() || folderPath.back() == L':') folderPath += L'\\';
  const std::wstring name = cut == std::wstring::npos ? path : path.substr(cut + 1);
  if (name.empty() || name.size() > kLongestName) return nullptr;
  const UniqueFileHandle folder = OpenPlainFolder(folderPath);
  if (!folder.valid()) return nullptr;
  UniqueFileHandle file = OpenInFolder(folder.get(), name);
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

Appended AppendWhole(std::FILE* file, const unsigned char* bytes, std::size_t size, bool durable) noexcept {
  if (std::fflush(file) != 0 || size > MAXDWORD) return Appended::kFailed;
  const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
  LARGE_INTEGER end{};
  DWORD written = 0;
  if (handle == INVALID_HANDLE_VALUE || !::SetFilePointerEx(handle, end, nullptr, FILE_END)) return Appended::kFailed;
  if (size > 0 && (!::WriteFile(handle, bytes, static_cast<DWORD>(size), &written, nullptr) || written != size)) {
    return Appended::kFailed;
  }
  if (!durable || ::FlushFileBuffers(handle)) return Appended::kWhole;
  const DWORD error = ::GetLastError();
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ? Appended::kWholeUnflushed
                                                                         : Appended::kFailed;
}

bool CutFile(std::FILE* file, std::uint64_t size) noexcept {
  const HANDLE handle = std::fflush(file) == 0 ? reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)))
                                               : INVALID_HANDLE_VALUE;
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(size);
  return handle != INVALID_HANDLE_VALUE && ::SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) &&
         ::SetEndOfFile(handle);
}
