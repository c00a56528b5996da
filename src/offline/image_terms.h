#pragma once
// A run of morvane-offline-image repairs copies of the image's registry
// files in a private folder of this host; what the run says and logs names
// them as the image does. morvane-offline-image hands the run, in its
// environment, the copies' folder, how to name the Windows volume, and the
// command that opens it from this host.

#include <streambuf>
#include <string>

struct ImageTerms {
  std::string copies;   // the private folder that stands for the volume's root
  std::string volume;   // the volume, named for the user: "partition 1 of win7.qcow2"
  std::string opening;  // the command that opens it for writing: guestfish --rw -a '...' -m /dev/sda1
  bool Active() const { return !copies.empty(); }
};

constexpr char kImageCopiesVariable[] = "MORVANE_IMAGE_COPIES";
constexpr char kImageVolumeVariable[] = "MORVANE_IMAGE_VOLUME";
constexpr char kImageOpeningVariable[] = "MORVANE_IMAGE_OPENING";
// The SIDs (UTF-8, one a line) of the profiles whose files could not be
// copied out of the image: each has a line of its own from the image's run.
constexpr char kImageNotCopiedVariable[] = "MORVANE_IMAGE_NOT_COPIED";

// Whether the profile of `sid` is one of those.
bool NotCopiedFromImage(const std::string& sid);

// The terms of this run: inactive (all empty) for a mounted volume.
ImageTerms ImageTermsOfRun();

// `text` with each path below the copies' folder made the path in the image
// (the folder dropped), and the folder alone made the volume's name.
std::string InImageTerms(const std::string& text, const ImageTerms& terms);

// `text` quoted for a POSIX shell: between single quotes, each one in it as '\''.
std::string ShellQuoted(const std::string& text);

// Hands text on to `target` in the image's terms; a name cut between two
// writes is held until the rest comes, or a flush.
class ImageTermsBuf final : public std::streambuf {
 public:
  ImageTermsBuf(std::streambuf& target, ImageTerms terms) : target_(&target), terms_(std::move(terms)) {}
  ~ImageTermsBuf() override { sync(); }
  ImageTermsBuf(const ImageTermsBuf&) = delete;
  ImageTermsBuf& operator=(const ImageTermsBuf&) = delete;

 protected:
  int overflow(int c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  bool Pass(bool all);

  std::streambuf* target_;
  ImageTerms terms_;
  std::string held_;
};
