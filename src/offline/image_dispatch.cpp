#include "offline/image_dispatch.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "offline/offline_run.h"

namespace {

constexpr char kImageProgram[] = "morvane-offline-image";
// Where it lies from the folder of this program: beside it in a build, in
// libexec once installed.
constexpr const char* kPlaces[] = {"/", "/../libexec/morvane-offline/"};

}  // namespace

int RunImageProgram(int argc, char** argv) {
  char self[PATH_MAX] = {};
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  const std::string program = length > 0 ? std::string(self, static_cast<std::size_t>(length)) : "";
  const std::string folder = program.substr(0, program.rfind('/'));
  setenv("MORVANE_OFFLINE_PROGRAM", program.c_str(), 1);
  int error = ENOENT;
  for (const char* place : kPlaces) {
    std::string path = folder + place + kImageProgram;
    std::vector<char*> arguments{path.data()};
    arguments.insert(arguments.end(), argv + 1, argv + argc);
    arguments.push_back(nullptr);
    execv(path.c_str(), arguments.data());
    if (errno != ENOENT) error = errno;
  }
  if (error == ENOENT) {
    std::cerr << "morvane-offline repairs disk images (-a) through " << kImageProgram
              << ", which is not installed: install the package morvane-offline-image (it brings libguestfs "
                 "and qemu), for example with `sudo apt-get install ./morvane-offline-image_"
              << "<version>_amd64.deb`.\n";
  } else {
    std::cerr << kImageProgram << " could not be started: " << std::strerror(error) << "\n";
  }
  return kOfflineStopped;
}
