// Makes registry symbolic links and reads them back, which Wine's reg tool cannot.
//   registry_link create HKCU|HKLM SUBKEY NATIVE-TARGET
//     makes SUBKEY a link to NATIVE-TARGET (e.g. \Registry\Machine\Software\X)
//   registry_link show HKCU|HKLM SUBKEY
//     prints "link <target>", "key" or "missing" for SUBKEY itself, the link
//     not followed
// Exit code 0 on success, 1 on a failed call (with the error), 2 on bad usage.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

bool ParseRoot(const wchar_t* text, HKEY& root) {
  if (std::wcscmp(text, L"HKCU") == 0) {
    root = HKEY_CURRENT_USER;
  } else if (std::wcscmp(text, L"HKLM") == 0) {
    root = HKEY_LOCAL_MACHINE;
  } else {
    return false;
  }
  return true;
}

int Create(HKEY root, const wchar_t* subkey, const wchar_t* target) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(root, subkey, 0, nullptr, REG_OPTION_CREATE_LINK,
                                   KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) {
    std::wprintf(L"create failed: %ld\n", static_cast<long>(status));
    return 1;
  }
  const auto size = static_cast<DWORD>(std::wcslen(target) * sizeof(wchar_t));
  status = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK,
                          reinterpret_cast<const BYTE*>(target), size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    std::wprintf(L"link value failed: %ld\n", static_cast<long>(status));
    return 1;
  }
  return 0;
}

int Show(HKEY root, const wchar_t* subkey) {
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(root, subkey, REG_OPTION_OPEN_LINK, KEY_READ, &key);
  if (status == ERROR_FILE_NOT_FOUND) {
    std::wprintf(L"missing\n");
    return 0;
  }
  if (status != ERROR_SUCCESS) {
    std::wprintf(L"open failed: %ld\n", static_cast<long>(status));
    return 1;
  }
  wchar_t target[1024] = {};
  DWORD type = REG_NONE;
  DWORD size = sizeof(target) - sizeof(wchar_t);
  status = RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type,
                            reinterpret_cast<BYTE*>(target), &size);
  RegCloseKey(key);
  if (status == ERROR_SUCCESS && type == REG_LINK) {
    target[size / sizeof(wchar_t)] = L'\0';
    std::wprintf(L"link %ls\n", target);
  } else {
    std::wprintf(L"key\n");
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  HKEY root = nullptr;
  if (argc >= 4 && ParseRoot(argv[2], root)) {
    if (argc == 5 && std::wcscmp(argv[1], L"create") == 0) return Create(root, argv[3], argv[4]);
    if (argc == 4 && std::wcscmp(argv[1], L"show") == 0) return Show(root, argv[3]);
  }
  std::wprintf(L"usage: registry_link create ROOT SUBKEY TARGET | show ROOT SUBKEY\n");
  return 2;
}
