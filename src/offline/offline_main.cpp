// morvane-offline [--yes] [--log FILE] [--undo FILE] WINDOWS_ROOT: the Linux entry point
// of the offline repair. --help prints the usage on standard output and exits
// 0; a wrong command line prints it on standard error and exits 1.
#include <sys/stat.h>

#include <csignal>
#include <ctime>
#include <iostream>
#include <string>
#include <tuple>

#include "driver/undo_file.h"
#include "offline/offline_run.h"
#include "posix/utf8_console.h"

namespace {

constexpr char kUsage[] =
    "usage: morvane-offline [--yes] [--log FILE] [--undo FILE] WINDOWS_ROOT\n"
    "Resets the .exe, .bat and .com associations of the Windows installation on the volume\n"
    "mounted read-write at WINDOWS_ROOT, machine-wide and for every user profile.\n"
    "  --yes       answer the confirmation with yes\n"
    "  --log FILE  the log file (default: Morvane.txt in the current folder)\n"
    "  --undo FILE the undo file, a .reg file of what the run changed (default:\n"
    "              Morvane-undo.reg beside the log file)\n"
    "  --help      print this usage and exit\n";

class SystemClock final : public Clock {
 public:
  std::uint32_t TickCount() override {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
  }
  void Sleep(std::uint32_t milliseconds) override {
    const timespec wait{static_cast<time_t>(milliseconds / 1000),
                        static_cast<long>(milliseconds % 1000) * 1000000L};
    nanosleep(&wait, nullptr);
  }
  std::tm LocalNow() override {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
  }
};

enum class Arguments { kRun, kHelp, kWrong };

Arguments ParseArguments(int argc, char** argv, OfflineOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help") {
      return Arguments::kHelp;
    } else if (argument == "--yes") {
      options.yes = true;
    } else if (argument == "--log" && i + 1 < argc) {
      options.logPath = argv[++i];
    } else if (argument == "--undo" && i + 1 < argc) {
      options.undoPath = argv[++i];
    } else if (argument.empty() || argument[0] == '-' || !options.windowsRoot.empty()) {
      return Arguments::kWrong;
    } else {
      options.windowsRoot = argument;
    }
  }
  return options.windowsRoot.empty() ? Arguments::kWrong : Arguments::kRun;
}

// Whether the log and the undo file would be one file: the same file, or
// the same name in the same folder for a file not there yet.
bool OneFile(const std::string& log, const std::string& undo) {
  const auto place = [](const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) return std::make_tuple(status.st_dev, status.st_ino, std::string());
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    if (stat(folder.c_str(), &status) != 0) return std::make_tuple(dev_t{}, ino_t{}, path);
    return std::make_tuple(status.st_dev, status.st_ino, path.substr(slash + 1));
  };
  return place(log) == place(undo);
}

}  // namespace

int main(int argc, char** argv) {
  OfflineOptions options;
  const Arguments arguments = ParseArguments(argc, argv, options);
  if (arguments == Arguments::kHelp) {
    std::cout << kUsage << std::flush;
    return std::cout ? 0 : kOfflineStopped;
  }
  if (arguments == Arguments::kWrong) {
    std::cerr << kUsage;
    return kOfflineStopped;
  }
  const std::string undo = options.undoPath.empty() ? EncodeUtf8(UndoFilePath(DecodeUtf8(options.logPath)))
                                                     : options.undoPath;
  if (OneFile(options.logPath, undo)) {
    std::cerr << "morvane-offline: the log and the undo file would be one file, " << undo
              << "; name another with --log or --undo.\n";
    return kOfflineStopped;
  }
  // A file-size limit makes a write fail, which the run reports, instead of ending it.
  std::signal(SIGXFSZ, SIG_IGN);
  Utf8Console console;
  SystemClock clock;
  OfflineServices services{console, clock, std::cin};
  return RunOffline(options, services);
}
