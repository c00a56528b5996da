// morvane-offline-image: the offline repair of the Windows inside disk images
// or unmounted disks, which morvane-offline starts when given -a. The disks
// are opened in libguestfs' appliance, never mounted on this host; the
// registry files are copied into a private folder, repaired there by
// morvane-offline as on a mounted volume, and what it changed is written back
// into the image.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <memory>
#include <utility>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run_texts.h"
#include "image/guest.h"
#include "image/image_format.h"
#include "image/staging.h"
#include "offline/image_terms.h"
#include "hive/hive_file.h"
#include "hive/hive_registry.h"
#include "offline/command_line.h"
#include "offline/windows_volume.h"
#include "posix/file_descriptor.h"
#include "posix/utf8_console.h"

namespace {

constexpr int kStopped = 1;  // nothing changed
constexpr int kFailed = 2;   // finished, not everything written

constexpr std::size_t kHibernationMark = 4;  // the bytes that tell a saved session
// What a hibernation file begins with while it holds a saved session, in any letter case.
constexpr const char* kSavedSessionMarks[] = {"HIBR", "WAKE", "RSTR"};
constexpr std::int64_t kMegabyte = 1 << 20;
constexpr wchar_t kProfileList[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr wchar_t kCurrentVersion[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion";
// What the run reads of a profile: the classes hive where each family keeps
// it, and the user's own hive.
constexpr const wchar_t* kProfileFiles[] = {L"AppData\\Local\\Microsoft\\Windows\\UsrClass.dat",
                                            L"Local Settings\\Application Data\\Microsoft\\Windows\\UsrClass.dat",
                                            L"NTUSER.DAT"};

struct ImageOptions {
  std::vector<std::string> images;
  std::string root;    // the device of the Windows to repair, among several
  std::string format;  // the images' format, when named
  std::vector<std::string> others;  // the other files of the host that they may read
  bool dryRun = false;
  std::vector<std::string> passed;  // for morvane-offline
};

// Reads the command line as morvane-offline does; false, with the problem,
// when it is wrong or names no image.
bool ParseArguments(int argc, char** argv, ImageOptions& options, std::string& problem) {
  CommandLine line;
  if (!ParseCommandLine(argc, argv, line, problem)) return false;
  if (line.images.empty()) {
    problem = line.help || line.version ? "--help and --version are morvane-offline's" : "no -a IMAGE given";
    return false;
  }
  options.images = line.images;
  options.root = line.root;
  options.format = line.format;
  options.others = line.others;
  options.dryRun = line.options.dryRun;
  if (line.options.yes) options.passed.emplace_back("--yes");
  if (line.options.dryRun) options.passed.emplace_back("--dry-run");
  for (const auto& [name, value] : {std::pair<const char*, const std::string&>{"--log", line.options.logPath},
                                    std::pair<const char*, const std::string&>{"--undo", line.options.undoPath}}) {
    if (value.empty()) continue;
    options.passed.emplace_back(name);
    options.passed.push_back(value);
  }
  return true;
}

std::string Joined(const std::vector<std::string>& images) {
  std::string joined;
  for (const std::string& image : images) joined += (joined.empty() ? "" : ", ") + image;
  return joined;
}

// The profile's folder below the root of the Windows volume; false for one on
// another drive, which the run names. `folder` becomes the path Windows reads.
bool OnVolume(std::wstring& folder, const std::wstring& systemRoot, std::wstring& relative) {
  const std::wstring drive = systemRoot.size() >= 2 && systemRoot[1] == L':' ? systemRoot.substr(0, 2) : L"C:";
  for (const auto& [name, value] : {std::pair<std::wstring, std::wstring>{L"%SYSTEMDRIVE%", drive},
                                    std::pair<std::wstring, std::wstring>{L"%SYSTEMROOT%", systemRoot}}) {
    if (FoldName(folder.substr(0, name.size())) == name) folder = value + folder.substr(name.size());
  }
  if (folder.size() < 2 || FoldName(folder.substr(0, 2)) != FoldName(drive)) return false;
  relative = folder.substr(2);
  return true;
}

// Copies the machine's registry files, then those of every profile that
// SOFTWARE's profile list names.
bool CopyRegistryFiles(Guest& guest, Staging& staging, const std::string& systemRoot, std::string& hibernation,
                       std::vector<std::string>& notCopied, std::string& notCopiedSids, std::string& problem) {
  const std::wstring config = DecodeUtf8(systemRoot) + L"\\System32\\config\\";
  std::string copy;
  if (!staging.Copy(guest, config + L"SOFTWARE", problem, &copy) || !staging.Copy(guest, config + L"SYSTEM", problem)) {
    return false;
  }
  // The run looks into these too: the start of the hibernation file, and the
  // names in the folder it keeps its log and undo files in.
  if (!staging.Copy(guest, L"hiberfil.sys", problem, &hibernation, kHibernationMark) ||
      !staging.Copy(guest, L"Morvane", problem)) {
    return false;
  }
  std::string why;
  const std::unique_ptr<HiveFile> software = copy.empty() ? nullptr : HiveFile::Open(copy, false, why);
  if (!software) return true;  // the run refuses it, saying why
  HiveRegistry registry;
  registry.Mount(L"\\Registry\\Machine\\Software", *software);
  std::wstring windows;
  if (!ReadRegistryText(registry, kCurrentVersion, L"SystemRoot", windows)) windows = L"C:\\Windows";
  RegistryKey list(registry);
  std::vector<std::wstring> sids;
  if (list.Open(RegistryAccess::RootKey(RegistryRoot::HKLM), kProfileList, kOptionNonVolatile, kKeyRead) ==
      kRegistrySuccess) {
    std::wstring sid;
    for (std::uint32_t index = 0; registry.EnumKey(list.get(), index, sid) == kRegistrySuccess; ++index) {
      sids.push_back(sid);
    }
  }
  for (const std::wstring& sid : sids) {
    std::wstring folder;
    std::wstring relative;
    if (!ReadRegistryText(registry, std::wstring(kProfileList) + L"\\" + sid, L"ProfileImagePath", folder) ||
        !OnVolume(folder, windows, relative)) {
      continue;
    }
    // A profile whose files cannot be copied is that profile's line; the others are repaired.
    for (const wchar_t* file : kProfileFiles) {
      std::string failed;
      if (!staging.Copy(guest, relative + L"\\" + file, failed)) {
        notCopied.push_back("User profile " + EncodeUtf8(folder) + ": not copied out of the image (" + failed +
                            "); it is not repaired.\n");
        std::cout << notCopied.back();
        if (sid.find(L'\n') == std::wstring::npos) notCopiedSids += EncodeUtf8(sid) + "\n";
        break;
      }
    }
  }
  return true;
}

// SIGINT or SIGTERM, once received: the run ends after the step it is in.
volatile std::sig_atomic_t stopSignal = 0;
volatile pid_t runningChild = 0;

void Stop(int number) {
  stopSignal = number;
  // Ctrl-C reaches the run on the terminal by itself; a SIGTERM is passed on.
  if (number == SIGTERM && runningChild > 0) kill(runningChild, SIGTERM);
}

void CatchStops() {
  struct sigaction action {};
  action.sa_handler = Stop;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// Whether the copy of the hibernation file's start at `path` tells a saved session.
bool Hibernated(const std::string& path) {
  const FileDescriptor file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  char mark[kHibernationMark] = {};
  if (path.empty() || file.get() < 0 || read(file.get(), mark, sizeof mark) != static_cast<ssize_t>(sizeof mark)) {
    return false;
  }
  for (char& c : mark) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return std::any_of(std::begin(kSavedSessionMarks), std::end(kSavedSessionMarks),
                     [&](const char* text) { return std::memcmp(mark, text, kHibernationMark) == 0; });
}

// How the user knows the Windows volume: a partition of the image file (or
// disk) as they named it.
std::string VolumeName(const Guest::Root& root, const std::vector<std::string>& images) {
  return root.partition > 0 ? "partition " + std::to_string(root.partition) + " of " + images[root.disk]
                            : images[root.disk] + " (a file system on the whole disk)";
}

// The command that opens the volume for writing from this host.
std::string Opening(const std::vector<Guest::Disk>& disks, const std::string& device) {
  std::string command = "guestfish --rw";
  for (const Guest::Disk& disk : disks) command += " --format=" + disk.format + " -a " + ShellQuoted(disk.path);
  return command + " -m " + ShellQuoted(device);
}

// The program of the mounted-volume run: the one that started this one.
std::string OfflineProgram() {
  const char* program = std::getenv("MORVANE_OFFLINE_PROGRAM");
  if (program != nullptr && *program != '\0') return program;
  return "/usr/bin/morvane-offline";
}

// Runs morvane-offline over the copies; its exit code, or -1 when it did not end by itself.
int RunOffline(const ImageOptions& options, const std::string& root) {
  std::vector<std::string> arguments{OfflineProgram()};
  arguments.insert(arguments.end(), options.passed.begin(), options.passed.end());
  arguments.emplace_back("--");
  arguments.push_back(root);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::cout << std::flush;
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    execv(argv[0], argv.data());
    std::cerr << argv[0] << " could not be started: " << std::strerror(errno) << "\n";
    _exit(127);
  }
  runningChild = child;
  if (stopSignal == SIGTERM && child > 0) kill(child, SIGTERM);
  int status = 0;
  // Ctrl-C reaches the run itself; this program waits to end the appliance.
  pid_t waited = -1;
  while (child > 0 && (waited = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
  }
  runningChild = 0;
  return waited == child && WIFEXITED(status) && WEXITSTATUS(status) != 127 ? WEXITSTATUS(status) : -1;
}

// Writes to two stream buffers at once.
class TeeBuf final : public std::streambuf {
 public:
  TeeBuf(std::streambuf& first, std::streambuf& second) : first_(&first), second_(&second) {}

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    const char put = traits_type::to_char_type(c);
    return first_->sputn(&put, 1) == 1 && second_->sputn(&put, 1) == 1 ? c : traits_type::eof();
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    return first_->sputn(text, count) == count && second_->sputn(text, count) == count ? count : 0;
  }
  int sync() override { return first_->pubsync() == 0 && second_->pubsync() == 0 ? 0 : -1; }

 private:
  std::streambuf* first_;
  std::streambuf* second_;
};

// Adds what became of the changes to a log the run kept on the host
// (--log). A log that the run kept on the Windows volume went into the image
// with the changes, ending with what became of its registry files.
void AppendToLog(const ImageOptions& options, const std::string& text, const ImageTerms& terms) {
  for (std::size_t i = 0; i + 1 < options.passed.size(); ++i) {
    if (options.passed[i] != "--log") continue;
    RewriteRunLog(options.passed[i + 1], terms);
    AppendToRunLog(options.passed[i + 1], text);
  }
}

int Refuse(const std::string& problem) {
  std::cout << problem << "\n" << std::flush;
  return kStopped;
}

}  // namespace

int main(int argc, char** argv) {
  ImageOptions options;
  std::string wrong;
  if (!ParseArguments(argc, argv, options, wrong)) {
    std::cerr << "morvane-offline: " << wrong << "\n" << kTryHelp << "\n";
    return kStopped;
  }
  Guest guest;
  std::vector<Guest::Disk> disks;
  std::string problem;
  if (NamedTwice(options.images, problem)) return Refuse(problem + ". Nothing was changed.");
  for (const std::string& image : options.images) {
    disks.push_back(Guest::Disk{image, ""});
    if (!ChooseImageFormat(image, options.format, options.others, disks.back().format, problem)) {
      return Refuse(problem + ". Nothing was changed.");
    }
  }
  // From here, SIGINT and SIGTERM end the run after the step it is in, the
  // appliance shut down and the copies removed.
  CatchStops();
  const auto stopped = [&](const char* when) {
    std::cout << "\nStopped by " << (stopSignal == SIGTERM ? "SIGTERM" : "SIGINT") << " " << when
              << ": nothing was written into the image.\n" << std::flush;
    return kStopped;
  };
  const std::string images = Joined(options.images);
  std::cout << "Starting libguestfs' appliance, a small virtual machine that opens " << images
            << (options.dryRun ? " read-only" : "") << " (this takes tens of seconds) ...\n" << std::flush;
  bool inUse = false;
  bool withoutKvm = false;
  if (!guest.Launch(disks, options.dryRun, problem, inUse, withoutKvm)) {
    if (stopSignal != 0) return stopped("while the appliance started");
    if (inUse) {
      return Refuse(images + " is in use by another program, most likely a running virtual machine: qemu could "
                    "not lock it for writing. Shut that machine down, then repair it. Nothing was changed.");
    }
    return Refuse("The appliance could not be started, and nothing was changed: " + problem);
  }
  if (withoutKvm) std::cout << "KVM did not start here; the appliance runs without it, slower.\n";
  std::cout << "Looking for Windows on " << images << " ...\n" << std::flush;
  std::vector<Guest::Root> roots;
  if (!guest.FindWindows(roots, problem)) return Refuse("The disks could not be inspected: " + problem);
  if (roots.empty()) return Refuse("No Windows installation was found on " + images + ". Nothing was changed.");
  const Guest::Root* chosen = nullptr;
  std::string found;
  for (const Guest::Root& root : roots) {
    found += "  " + root.device + "  " + root.product + " (" + root.systemRoot + "), on " + VolumeName(root, options.images) + "\n";
    if (root.device == options.root || (options.root.empty() && roots.size() == 1)) chosen = &root;
  }
  if (chosen == nullptr) {
    return Refuse((options.root.empty() ? "Several Windows installations were found:\n"
                                        : "There is no Windows installation on " + options.root + "; found:\n") +
                  found + "Name the one to repair with --root DEVICE. Nothing was changed.");
  }
  const std::string volume = VolumeName(*chosen, options.images);
  std::cout << chosen->product << " found on " << volume << ".\n" << std::flush;
  Staging staging;
  std::string hibernation;
  std::vector<std::string> notCopied;  // the profiles' lines
  std::string notCopiedSids;
  if (!guest.Mount(chosen->device, false, problem)) return Refuse("Its volume could not be mounted: " + problem);
  if (!staging.Create(problem) ||
      !CopyRegistryFiles(guest, staging, chosen->systemRoot, hibernation, notCopied, notCopiedSids, problem)) {
    return stopSignal != 0 ? stopped("while the registry files were copied") : Refuse(problem + ". Nothing was changed.");
  }
  if (stopSignal != 0) return stopped("while the registry files were copied");
  staging.NameVolume(volume);
  if (Hibernated(hibernation)) {
    return Refuse("The Windows on " + volume + " is hibernated, or was shut down with fast startup: /hiberfil.sys "
                  "holds its saved session, and Windows would resume that session over the changes. Start the "
                  "virtual machine, let Windows start, and shut it down fully (hold Shift while choosing Shut "
                  "down, or run \"shutdown /s /t 0\" in it), or turn fast startup off (Control Panel, Power "
                  "Options, \"Choose what the power buttons do\"), then try again. Nothing was changed.");
  }
  // Room for a backup and a new copy of each registry file, and the record,
  // on the image's own volume.
  std::int64_t free = 0;
  const std::int64_t needed = 2 * staging.CopiedBytes() + 2 * kMegabyte;
  if (!options.dryRun && guest.FreeSpace(free) && free < needed) {
    return Refuse("The Windows volume in the image, " + volume + ", has " + std::to_string(free / kMegabyte) +
                  " MB free, and the run may need " + std::to_string(needed / kMegabyte) + " MB there for the "
                  "backups, the new registry files and its record. Make room on it (start the virtual machine, and "
                  "empty its recycle bin, for instance), then run again. Nothing was changed.");
  }
  std::cout << "Its registry files are copied out of the image; the run below "
            << (options.dryRun ? "reads those copies, and nothing is written into the image.\n"
                               : "repairs those copies, and what it changes is written into the image after it.\n")
            << "The paths below are those in the image, on " << volume << ".\n" << std::flush;
  staging.Remember();
  setenv(kImageCopiesVariable, staging.Root().c_str(), 1);
  setenv(kImageVolumeVariable, volume.c_str(), 1);
  setenv(kImageOpeningVariable, Opening(disks, chosen->device).c_str(), 1);
  setenv(kImageNotCopiedVariable, notCopiedSids.c_str(), 1);
  const int code = RunOffline(options, staging.Root());
  // What becomes of the run's changes goes to the console and, after the
  // run's own lines, to its log.
  std::ostringstream kept;
  TeeBuf tee(*std::cout.rdbuf(), *kept.rdbuf());
  std::ostream outcome(&tee);
  int result = code < 0 ? kFailed : code;
  bool written = false;
  bool wrote = false;  // whether anything at all was written into the image
  if (!notCopied.empty()) outcome << "\n";
  for (const std::string& line : notCopied) {
    outcome << line;
    if (result == 0) result = kFailed;
  }
  if (code < 0) outcome << "\nThe run did not finish.\n";
  if (code < 0 || stopSignal != 0 || !staging.Changed()) {
    outcome << (stopSignal != 0 && code >= 0 ? "\nStopped by a signal. " : "") << "Nothing was written into the image.\n";
  } else if (options.dryRun) {
    outcome << "The run changed the copies although it was to change nothing; nothing was written into the image.\n";
    result = kFailed;
  } else {
    outcome << "\nWriting the changes into " << volume << " ...\n" << std::flush;
    if (!guest.Unmount(problem) || !guest.Mount(chosen->device, true, problem)) {
      outcome << "Its volume could not be mounted for writing: " << problem
              << "\nNothing was written into the image: the repair above was not made.\n";
      result = kFailed;
    } else {
      wrote = true;
      written = staging.WriteBack(guest, outcome, stopSignal);
      if (!written) result = kFailed;
    }
  }
  outcome << "Shutting down the appliance ...\n" << std::flush;
  const bool down = guest.Shutdown(problem);
  staging.Remove();
  if (!down) {
    outcome << "The appliance did not shut down cleanly (" << problem
            << "); what was written may not all be in the image.\n";
    result = kFailed;
  }
  if (stopSignal != 0 && wrote) {
    outcome << "Stopped by " << (stopSignal == SIGTERM ? "SIGTERM" : "SIGINT") << " while writing: only the files "
            << "listed above as written or replaced are in the image; each registry file not listed as replaced is "
               "as it was.\n";
    result = kFailed;
  } else if (written && down) {
    outcome << "The changes listed above as written and replaced are in the image.\n";
    if (result == 0) {
      // The last line on the console, as a run on a mounted volume ends; the log does not keep it.
      outcome << std::flush;
      std::cout << EncodeUtf8(kFinishedText) << "\n";
    }
  } else if (wrote) {
    outcome << "Only the files listed above as written or replaced are in the image; each registry file not listed "
               "as replaced is as it was.\n";
  }
  outcome << std::flush;
  AppendToLog(options, kept.str(), ImageTerms{staging.Root(), volume, ""});
  return result;
}
