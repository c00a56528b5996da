// registry_values KEY...: prints each KEY (HKEY_LOCAL_MACHINE\... or
// HKEY_CURRENT_USER\...) that exists and every key below it, depth first, with
// each value's type and exact bytes as RegEnumValueW reads them in the 64-bit
// view, in one process for all the keys. One line each, UTF-8:
//   key
//   key<TAB>value name<TAB>type<TAB>bytes in hex
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
  std::string out(text.size() * 4, '\0');
  out.resize(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                                          out.data(), static_cast<int>(out.size()), nullptr,
                                                          nullptr)));
  return out;
}

void Dump(HKEY root, const std::wstring& root_name, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return;
  const std::string name = Utf8(root_name + path);
  std::printf("%s\n", name.c_str());
  std::vector<wchar_t> value(16384);
  std::vector<BYTE> data(1 << 20);
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(value.size()), size = static_cast<DWORD>(data.size()), type = 0;
    if (RegEnumValueW(key, index, value.data(), &length, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
    std::printf("%s\t%s\t%lu\t", name.c_str(), Utf8(std::wstring(value.data(), length)).c_str(), type);
    for (DWORD at = 0; at < size; ++at) std::printf("%02x", data[at]);
    std::printf("\n");
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
  return 0;
}
