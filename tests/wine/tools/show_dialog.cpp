// show_dialog TITLE FLAGS: shows a message box with this title and these
// MessageBoxW flags (decimal), prints the value it returned and exits with it.
// Lets the harness prove that it answers dialogs as asked.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: show_dialog TITLE FLAGS\n", stderr);
    return 100;
  }
  const auto flags = static_cast<UINT>(std::wcstoul(argv[2], nullptr, 10));
  const int answer = MessageBoxW(nullptr, L"A dialog of the test harness.", argv[1], flags);
  std::printf("%d\n", answer);
  std::fflush(stdout);
  return answer;
}
