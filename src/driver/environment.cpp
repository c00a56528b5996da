#include "driver/environment.h"

#include <cwchar>
#include <limits>

namespace {

constexpr wchar_t kErrorTitle[] = L"Morvane Error";

// The fatal stop: a line on the console only (the run log never sees it), the
// error dialog, and then the caller ends the run.
void FatalStop(const EnvironmentLookup& lookup, const std::wstring& consoleLine,
               const wchar_t* dialogText) {
  lookup.console << consoleLine << L'\n';
  lookup.console.flush();
  lookup.dialog.Show(dialogText, kErrorTitle, kMbOk | kMbIconInformation);
}

}  // namespace

std::optional<std::wstring> ReadEnvironmentVariable(const EnvironmentLookup& lookup,
                                                    const std::wstring& name) {
  Environment& environment = lookup.environment;
  const std::size_t size = environment.RequiredSize(name);
  if (size == 0) {
    FatalStop(lookup, name + L" doesn't exist! Morvane Terminated!",
              L"There was a problem retrieving a necessary environment variable. "
              L"Morvane has terminated!");
    return std::nullopt;
  }

  // A size whose byte count does not fit is memory that cannot be had.
  void* block = size <= std::numeric_limits<std::size_t>::max() / sizeof(wchar_t)
                    ? environment.Allocate(size * sizeof(wchar_t))
                    : nullptr;
  if (block == nullptr) {
    FatalStop(lookup, L"Failed to allocate memory! Morvane Terminated!",
              L"There was a problem allocating memory to the program.  Morvane has terminated!");
    return std::nullopt;
  }

  auto* value = static_cast<wchar_t*>(block);
  value[0] = L'\0';
  environment.Copy(name, value, size);
  value[size - 1] = L'\0';  // the value ends within its block, whatever the copy did
  std::wstring result(value, std::wcslen(value));
  environment.Release(block);
  return result;
}
