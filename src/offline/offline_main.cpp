// morvane-offline [OPTION]... WINDOWS_ROOT: the Linux entry point of the
// offline repair. --help prints the usage, and --version the version, on
// standard output and exits 0; a wrong command line says in one line on
// standard error what is wrong, and where to read more, and exits 1.
#include <sys/stat.h>

#include <csignal>
#include <ctime>
#include <iostream>
#include <string>
#include <tuple>

#include "driver/undo_file.h"
#include "offline/command_line.h"
#include "offline/image_dispatch.h"
#include "offline/image_terms.h"
#include "offline/offline_run.h"
#include "offline/undo_run.h"
#include "posix/utf8_console.h"

namespace {

// Also the text of the manual page, made from it at build time.
constexpr char kUsage[] =
    "usage: morvane-offline [OPTION]... WINDOWS_ROOT\n"
    "       morvane-offline [OPTION]... -a IMAGE [-a IMAGE]... [--root DEVICE] [--format FORMAT]\n"
    "                       [--other-file FILE]...\n"
    "       morvane-offline [-y] [-n] --apply-undo[=FILE] WINDOWS_ROOT\n"
    "Resets the .exe, .bat and .com associations of the Windows installation on the volume\n"
    "mounted read-write at WINDOWS_ROOT (the folder that holds the Windows folder), machine-wide\n"
    "and for every user profile. Each registry file changed is first copied to a backup beside it.\n"
    "With -a, the Windows inside a disk image, or an unmounted disk such as /dev/sdb, is repaired\n"
    "instead, opened in libguestfs' appliance (package morvane-offline-image), never mounted here.\n"
    "A long option's value may also follow it after = (--log=FILE); -- ends the options.\n"
    "  -y, --yes   answer the confirmation with yes\n"
    "  -n, --dry-run  show what would be changed, and change nothing: no backup, log or undo file\n"
    "  --log FILE  the log file (default: a new Morvane.txt, or Morvane-2.txt..., in the folder\n"
    "              Morvane at the root of the Windows volume, C:\\Morvane on Windows)\n"
    "  --undo FILE the undo file, a .reg file of what the run changed, to import on Windows\n"
    "              (default: Morvane-undo.reg, or Morvane-undo-2.reg..., beside the log file)\n"
    "  --apply-undo[=FILE]  apply the undo file FILE of a run to the registry files on the volume,\n"
    "              instead of repairing (default: the one undo file a run left in its Morvane folder)\n"
    "  -a IMAGE    a disk of the Windows machine, once for each of its disks\n"
    "  --root DEVICE  with -a: the Windows to repair when the disks hold several (as listed then)\n"
    "  --format FORMAT  with -a: the images' format (raw, qcow2, vmdk...); otherwise qcow2 for a\n"
    "              file with a qcow2 header that reads no other file, and raw for everything else\n"
    "  --other-file FILE  with --format: a file of this machine that the images read (a backing\n"
    "              file, an external data file, a vmdk extent), once for each; any other is refused\n"
    "  -V, --version  print the version and exit\n"
    "  -h, --help  print this usage and exit\n"
    "Exit codes: 0 done, 1 stopped before changing anything (a wrong command line too), 2 finished,\n"
    "but some changes could not be made (the log says which).\n";

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
  CommandLine line;
  std::string wrong;
  if (!ParseCommandLine(argc, argv, line, wrong)) {
    std::cerr << "morvane-offline: " << wrong << "\n" << kTryHelp << "\n";
    return kOfflineStopped;
  }
  if (line.help || line.version) {
    std::cout << (line.help ? kUsage : "morvane-offline " MORVANE_VERSION "\n") << std::flush;
    return std::cout ? 0 : kOfflineStopped;
  }
  if (!line.images.empty()) return RunImageProgram(argc, argv);
  const OfflineOptions& options = line.options;
  if (line.applyUndo) {
    std::signal(SIGXFSZ, SIG_IGN);  // a file-size limit makes a write fail, as in the run
    Utf8Console console;
    SystemClock clock;
    OfflineServices services{console, clock, std::cin};
    return RunUndoFile(UndoOptions{options.windowsRoot, line.undoToApply, options.yes, options.dryRun}, services);
  }
  // A log of the user's naming may not be the undo file too.
  const std::string undo = options.undoPath.empty() ? EncodeUtf8(UndoFilePath(DecodeUtf8(options.logPath)))
                                                     : options.undoPath;
  if (!options.logPath.empty() && OneFile(options.logPath, undo)) {
    std::cerr << "morvane-offline: the log and the undo file would be one file, " << undo
              << "; name another with --log or --undo.\n";
    return kOfflineStopped;
  }
  // A file-size limit makes a write fail, which the run reports, instead of ending it.
  std::signal(SIGXFSZ, SIG_IGN);
  // Started by morvane-offline-image over copies of an image's files: what
  // the run says names the image's paths.
  const ImageTerms terms = ImageTermsOfRun();
  ImageTermsBuf inImageTerms(*std::cout.rdbuf(), terms);
  Utf8Console console(terms.Active() ? static_cast<std::streambuf&>(inImageTerms) : *std::cout.rdbuf());
  SystemClock clock;
  OfflineServices services{console, clock, std::cin};
  return RunOffline(options, services);
}
