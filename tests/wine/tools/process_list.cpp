// process_list: prints every process of a toolhelp snapshot, in snapshot
// order, as "PID<TAB>PARENT<TAB>PATH" in UTF-8, one per line; PATH is empty
// when the process cannot be opened or its path cannot be read.
#include <windows.h>
// After windows.h, which they need.
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>

namespace {

std::string Utf8(const wchar_t* text, int length) {
  if (length <= 0) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

}  // namespace

int wmain() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 1;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    std::string path;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID);
    if (process != nullptr) {
      wchar_t buffer[MAX_PATH] = {};
      const DWORD length = GetModuleFileNameExW(process, nullptr, buffer, MAX_PATH);
      path = Utf8(buffer, static_cast<int>(length));
      CloseHandle(process);
    }
    std::printf("%lu\t%lu\t%s\n", entry.th32ProcessID, entry.th32ParentProcessID, path.c_str());
  }
  CloseHandle(snapshot);
  return 0;
}
