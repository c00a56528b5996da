#pragma once
// Which format a disk image is opened in, and which files of the host that
// format would have qemu open besides the image itself. The image's first
// bytes are the guest's to write: without a format named, it is raw unless
// its header is qcow2's, and no format that reads another file is opened
// unless the user named that file.

#include <string>
#include <vector>

// The format to open `path` in: `format` when named, otherwise raw, or
// qcow2 for a qcow2 header. False with the reason when the image names a
// file other than itself (a backing file, an external data file, a vmdk
// extent) that `allowed` does not name, or cannot be read.
[[nodiscard]] bool ChooseImageFormat(const std::string& path, const std::string& format,
                                     const std::vector<std::string>& allowed, std::string& chosen,
                                     std::string& problem);

// Whether two of `images` are one file or one disk; `problem` says which.
[[nodiscard]] bool NamedTwice(const std::vector<std::string>& images, std::string& problem);
