// registry_values ROOT PATH...: prints each key ROOT\PATH (ROOT is HKLM or
// HKCU) and every key below it, depth first, with each value's type and exact
// bytes, read with RegQueryValueExW in the 64-bit view. One line each, UTF-8:
//   K<TAB>path
//   V<TAB>path<TAB>value name<TAB>type number<TAB>bytes as lower-case hex
//   M<TAB>path          (a PATH given that does not exist)
// Paths are relative to ROOT. Exits 0, or 1 on bad arguments.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                      nullptr);
  return out;
}

bool Dump(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return false;
  std::printf("K\t%s\n", Utf8(path).c_str());

  for (DWORD index = 0;; ++index) {
    wchar_t name[16384];
    DWORD nameLength = 16384;
    DWORD type = 0;
    DWORD size = 0;
    if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
    std::vector<BYTE> data(size + 2);
    DWORD read = size;
    if (RegQueryValueExW(key, name, nullptr, &type, data.data(), &read) != ERROR_SUCCESS) read = 0;
    std::string hex;
    for (DWORD at = 0; at < read; ++at) {
      char byte[3];
      std::snprintf(byte, sizeof(byte), "%02x", data[at]);
      hex += byte;
    }
    std::printf("V\t%s\t%s\t%lu\t%s\n", Utf8(path).c_str(), Utf8(std::wstring(name, nameLength)).c_str(), type,
                hex.c_str());
  }

  std::vector<std::wstring> subkeys;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD nameLength = 256;
    if (RegEnumKeyExW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    subkeys.emplace_back(name, nameLength);
  }
  RegCloseKey(key);
  for (const std::wstring& subkey : subkeys) Dump(root, path + L"\\" + subkey);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 1;
  const std::wstring rootName = argv[1];
  HKEY root = rootName == L"HKLM" ? HKEY_LOCAL_MACHINE : rootName == L"HKCU" ? HKEY_CURRENT_USER : nullptr;
  if (root == nullptr) return 1;
  for (int arg = 2; arg < argc; ++arg) {
    if (!Dump(root, argv[arg])) std::printf("M\t%s\n", Utf8(argv[arg]).c_str());
  }
  std::fflush(stdout);
  return 0;
}
