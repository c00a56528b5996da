// registry_link SUBKEY TARGET: makes HKCU\SUBKEY a registry symbolic link to
// TARGET, a native path such as \Registry\Machine\Software\Classes\X, which
// Wine's reg tool cannot do. registry_link deny SUBKEY: gives HKLM\SUBKEY an
// empty access list, so that no one may open it (until the wineserver ends).
// Exits 0, or 1 with the failing call's status.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  HKEY key = nullptr;
  LSTATUS status = ERROR_SUCCESS;
  if (std::wcscmp(argv[1], L"deny") == 0) {
    SECURITY_DESCRIPTOR denyAll;
    ACL empty;
    status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, argv[2], 0, WRITE_DAC | KEY_WOW64_64KEY, &key);
    if (status == ERROR_SUCCESS && InitializeSecurityDescriptor(&denyAll, SECURITY_DESCRIPTOR_REVISION) &&
        InitializeAcl(&empty, sizeof empty, ACL_REVISION) && SetSecurityDescriptorDacl(&denyAll, TRUE, &empty, FALSE)) {
      status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &denyAll);
    }
    if (key != nullptr) RegCloseKey(key);
  } else if ((status = RegCreateKeyExW(HKEY_CURRENT_USER, argv[1], 0, nullptr, REG_OPTION_CREATE_LINK,
                                   KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &key, nullptr)) == ERROR_SUCCESS) {
    const auto size = static_cast<DWORD>(std::wcslen(argv[2]) * sizeof(wchar_t));
    status = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(argv[2]), size);
    RegCloseKey(key);
  }
  if (status != ERROR_SUCCESS) std::printf("registry_link: status %ld\n", static_cast<long>(status));
  return status == ERROR_SUCCESS ? 0 : 1;
}
