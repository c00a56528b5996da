#include "image/image_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "posix/file_descriptor.h"

namespace {

constexpr char kQcow2Magic[] = "QFI\xfb";
constexpr std::uint32_t kDataFileExtension = 0x44415441;  // "DATA": the external data file's name
constexpr std::uint64_t kExternalDataFile = 1u << 2;      // an incompatible feature of qcow2 version 3
constexpr std::size_t kHeaderRead = 65536;                // the header and its extensions, read at most
// The keys of qemu-img info's answer that name a file the image reads.
constexpr const char* kFileKeys[] = {"\"filename\"", "\"backing-filename\"", "\"full-backing-filename\"",
                                     "\"data-file\""};

std::uint64_t BigEndian(std::string_view bytes, std::size_t at, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size && at + i < bytes.size(); ++i) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

// The text of a file name in the header, shown on one line.
std::string Shown(std::string_view name) {
  std::string shown;
  for (char c : name) shown += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
  return shown;
}

// The other file a qcow2 header names (its backing file, or its external
// data file), empty when none; `what` says which.
std::string Qcow2OtherFile(std::string_view header, std::string& what) {
  const std::uint64_t backing = BigEndian(header, 8, 8);
  if (backing != 0) {
    what = "backing file";
    const std::uint64_t size = BigEndian(header, 16, 4);
    return backing < header.size() ? Shown(header.substr(backing, size)) : std::string("(unnamed)");
  }
  if (BigEndian(header, 4, 4) < 3 || (BigEndian(header, 72, 8) & kExternalDataFile) == 0) return "";
  what = "external data file";
  for (std::uint64_t at = BigEndian(header, 100, 4); at + 8 <= header.size();) {
    const std::uint64_t type = BigEndian(header, at, 4);
    const std::uint64_t size = BigEndian(header, at + 4, 4);
    if (type == 0) break;
    if (type == kDataFileExtension) return Shown(header.substr(at + 8, size));
    at += 8 + (size + 7) / 8 * 8;
  }
  return "(unnamed)";
}

// qemu-img info's JSON answer about `path` in `format` and the images below
// it; false when it did not answer.
bool QemuImgInfo(const std::string& path, const std::string& format, std::string& answer) {
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) return false;
  const FileDescriptor reading(pipeEnds[0]);
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipeEnds[1], STDOUT_FILENO);
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (quiet >= 0) dup2(quiet, STDERR_FILENO);
    // A path that begins with a letter and a colon would be taken for a protocol.
    const std::string file = path.compare(0, 1, "/") == 0 ? path : "./" + path;
    execlp("timeout", "timeout", "60", "qemu-img", "info", "--output=json", "-U", "--backing-chain", "-f",
           format.c_str(), file.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeEnds[1]);
  if (child < 0) return false;
  char buffer[4096];
  for (ssize_t got = 0; (got = read(reading.get(), buffer, sizeof buffer)) > 0;) {
    answer.append(buffer, static_cast<std::size_t>(got));
  }
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The string values of the keys naming files in qemu-img's JSON answer,
// their escapes undone.
std::vector<std::string> NamedFiles(const std::string& answer) {
  std::vector<std::string> files;
  for (const char* key : kFileKeys) {
    for (std::size_t at = answer.find(key); at != std::string::npos; at = answer.find(key, at + 1)) {
      std::size_t quote = answer.find('"', answer.find(':', at + std::strlen(key)));
      std::string value;
      for (std::size_t i = quote + 1; quote != std::string::npos && i < answer.size() && answer[i] != '"'; ++i) {
        if (answer[i] == '\\' && i + 1 < answer.size()) ++i;
        value += answer[i];
      }
      files.push_back(value);
    }
  }
  return files;
}

bool SameFile(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

}  // namespace

bool ChooseImageFormat(const std::string& path, const std::string& format, const std::vector<std::string>& allowed,
                       std::string& chosen, std::string& problem) {
  const FileDescriptor image(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (image.get() < 0 || fstat(image.get(), &status) != 0) {
    problem = path + " cannot be opened (" + std::strerror(errno) + ")";
    return false;
  }
  std::string header(kHeaderRead, '\0');
  const ssize_t got = pread(image.get(), header.data(), header.size(), 0);
  header.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  const bool qcow2 = header.compare(0, 4, kQcow2Magic) == 0;
  chosen = !format.empty() ? format : qcow2 && !S_ISBLK(status.st_mode) ? "qcow2" : "raw";
  if (chosen == "raw") return true;
  // A qcow2 header's other files are read from it, without asking qemu to
  // open them: a name the guest wrote may be a fifo or a device.
  std::string what;
  const std::string other = chosen == "qcow2" && qcow2 ? Qcow2OtherFile(header, what) : "";
  if (!other.empty() && (format.empty() || allowed.empty())) {
    problem = path + " has a qcow2 header that names another file of this machine, its " + what + " " + other +
              ", which is not opened unasked. If the image is meant to read that file, name its format and the "
              "file: --format qcow2 --other-file FILE";
    return false;
  }
  if (format.empty()) return true;
  std::string answer;
  if (!QemuImgInfo(path, chosen, answer)) {
    problem = path + " is not a " + chosen + " image that qemu-img reads";
    return false;
  }
  const std::string folder = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/'));
  for (const std::string& named : NamedFiles(answer)) {
    const std::string file = named.compare(0, 1, "/") == 0 ? named : folder + "/" + named;
    struct stat found {};
    const bool there = stat(file.c_str(), &found) == 0;
    bool known = there && SameFile(found, status);
    for (const std::string& name : allowed) {
      struct stat given {};
      known = known || (there && stat(name.c_str(), &given) == 0 && SameFile(found, given));
    }
    if (!known) {
      problem = path + " as " + chosen + " names another file of this machine, " + Shown(named) +
                ", which is not opened unasked. If that is so, name it with --other-file FILE";
      return false;
    }
  }
  return true;
}

bool NamedTwice(const std::vector<std::string>& images, std::string& problem) {
  std::vector<std::pair<std::size_t, struct stat>> seen;
  for (std::size_t i = 0; i < images.size(); ++i) {
    struct stat status {};
    if (stat(images[i].c_str(), &status) != 0) continue;
    for (const auto& [j, earlier] : seen) {
      const bool disk = S_ISBLK(status.st_mode) && S_ISBLK(earlier.st_mode);
      if (disk ? status.st_rdev == earlier.st_rdev : SameFile(status, earlier)) {
        problem = images[j] + " and " + images[i] + " are the same " + (disk ? "disk" : "file") +
                  ", named twice with -a: name each disk of the machine once";
        return true;
      }
    }
    seen.emplace_back(i, status);
  }
  return false;
}
