// registry_values KEY...: prints each KEY (HKEY_LOCAL_MACHINE\... or
// HKEY_CURRENT_USER\...) that exists and every key below it, depth first, with
// each value's type and exact bytes as RegEnumValueW reads them in the 64-bit
// view, in one process for all the keys. One line each, UTF-16:
//   key
//   key<TAB>value name<TAB>type<TAB>bytes in hex
#include <windows.h>

#include <string>
#include <vector>

namespace {

std::wstring out;  // every line, written at the end

void Dump(HKEY root, const std::wstring& root_name, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return;
  const std::wstring name = root_name + path;
  out += name + L"\n";
  std::vector<wchar_t> value(16384);
  std::vector<BYTE> data(1 << 20);
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(value.size()), size = static_cast<DWORD>(data.size()), type = 0;
    if (RegEnumValueW(key, index, value.data(), &length, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
    out += name + L"\t" + std::wstring(value.data(), length) + L"\t" + std::to_wstring(type) + L"\t";
    for (DWORD at = 0; at < size; ++at) out += {L"0123456789abcdef"[data[at] >> 4], L"0123456789abcdef"[data[at] & 15]};
    out += L"\n";
  }
  std::vector<std::wstring> subkeys;
  wchar_t subkey[256];
  for (DWORD index = 0, length = 256; RegEnumKeyExW(key, index, subkey, &length, nullptr, nullptr, nullptr,
                                                    nullptr) == ERROR_SUCCESS; ++index, length = 256) {
    subkeys.emplace_back(subkey, length);
  }
  RegCloseKey(key);
  for (const std::wstring& sub : subkeys) Dump(root, root_name, path + L"\\" + sub);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int arg = 1; arg < argc; ++arg) {
    const std::wstring key = argv[arg];
    const std::size_t slash = key.find(L'\\');
    const std::wstring root_name = key.substr(0, slash + 1), path = key.substr(slash + 1);
    const HKEY root = _wcsicmp(root_name.c_str(), L"HKEY_LOCAL_MACHINE\\") == 0  ? HKEY_LOCAL_MACHINE
                      : _wcsicmp(root_name.c_str(), L"HKEY_CURRENT_USER\\") == 0 ? HKEY_CURRENT_USER
                                                                                 : nullptr;
    if (root != nullptr && slash != std::wstring::npos) Dump(root, root_name, path);
  }
  DWORD written = 0;  // the bytes as they are: no text mode in between
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size() * sizeof(wchar_t)), &written,
            nullptr);
  return 0;
}
