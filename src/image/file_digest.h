#pragma once
// The SHA-256 digest of a file of this host, in the lowercase hex that the
// appliance's sha256sum gives: a file written into the image is read back
// there by its digest, without its bytes coming back.

#include <cstdint>
#include <string>

// `digest` and `size` of the regular file at `path` (never through a link);
// false when it cannot be read.
[[nodiscard]] bool DigestFile(const std::string& path, std::string& digest, std::int64_t& size);
