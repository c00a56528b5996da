#pragma once
// A private folder that stands for the Windows volume inside a disk image:
// it holds copies of the files the offline run reads (the registry files),
// each at the path and under the name the volume gives it, and what stands
// beside them by name only. After the run, what the run created or replaced
// there is written into the image under the same rules as on a mounted volume.

#include <csignal>
#include <cstdint>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "image/guest.h"

// Adds `text` (UTF-8, LF) to the UTF-16LE log file at `path` with CR LF, as
// the run wrote it: never through a link, only to a regular file of one name.
void AppendToRunLog(const std::string& path, const std::string& text);

struct ImageTerms;
// Makes the log file at `path` name what it names in `terms` (the image's).
void RewriteRunLog(const std::string& path, const ImageTerms& terms);

class Staging {
 public:
  Staging() = default;
  ~Staging();  // removes the folder and everything in it
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;

  // Makes the folder (mode 0700) below $TMPDIR, or /var/tmp.
  [[nodiscard]] bool Create(std::string& problem);
  // Removes the folder and everything in it now.
  void Remove();
  // The folder that stands for the Windows volume's root.
  const std::string& Root() const noexcept { return root_; }
  // How the volume is named for the user: "partition 1 of win7.qcow2".
  void NameVolume(const std::string& volume) { volume_ = volume; }
  // The bytes of the files copied whole.
  std::int64_t CopiedBytes() const noexcept { return copiedBytes_; }

  // Copies the file at `relative` (folders separated by backslashes or
  // slashes) from the mounted volume, each name matched without regard to
  // letter case. Nothing is followed through a link: a link on the way, or a
  // file or folder where the other is needed, is copied as what it is (a
  // link, an empty file or folder), and the run names it as it would on the
  // volume. A "." or ".." name is not followed, nor copied.
  // `local`, when given, gets the copy's path here (empty when there is none).
  // With `head`, only the file's first `head` bytes are copied (a file the run
  // only looks into, never replaces).
  [[nodiscard]] bool Copy(Guest& guest, const std::wstring& relative, std::string& problem,
                          std::string* local = nullptr, std::size_t head = 0);

  // Takes note of what the folder holds before the run.
  void Remember() { before_ = Entries(); }
  // Whether the run created or replaced anything.
  bool Changed() const { return Entries() != before_; }
  // Writes into the image what the run created (folders, files; never over
  // a name that is there) and each registry file it replaced, that one only
  // after its backup: under another name beside it, given its security
  // descriptor and attributes (read back), then renamed over it. The run's
  // record (what it made away from the registry files) goes last, its log
  // ending with what became of each registry file, so that the log kept in
  // the image says only what reached it. The files go in three steps (the
  // backups, the registry files, the record): in each, every file goes in
  // under a temporary name, then one sync, each read back whole (its size and
  // digest), each renamed, and one sync again; nothing is written when the
  // volume has no room for all of it. A backup that holds the bytes of its
  // registry file in the image is copied there, inside the appliance.
  // Reports each file on `progress` once it is there; stops before the next
  // step once `stop` is set, removing what the step put at temporary names.
  // False when any was not written.
  [[nodiscard]] bool WriteBack(Guest& guest, std::ostream& progress, const volatile std::sig_atomic_t& stop);

 private:
  struct Entry {
    bool folder = false;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modified = 0;  // nanoseconds
    bool operator==(const Entry& other) const {
      return folder == other.folder && inode == other.inode && size == other.size && modified == other.modified;
    }
  };
  std::map<std::string, Entry> Entries() const;
  // The path in the image of `path` below the root here.
  std::string ImagePath(const std::string& path) const;  // by path below the root, "/" first
  // A file of the copy to put into the image, and what became of it.
  struct Placing {
    std::string path;     // below the root here
    std::string inImage;  // its path in the image
    std::string partial;  // its temporary name there
    std::string same;     // a file of the image that holds the same bytes, copied there; empty: uploaded
    bool asName = false;  // `same` has one name: this one is made its second, nothing copied
    bool linked = false;  // and it was, and stays so
    bool renamed = false;  // it took its name in the image (though the sync after may have failed)
    std::string keep;     // a file of the image whose NTFS attributes it takes, or empty
    std::string digest;   // its bytes' SHA-256, and their number
    std::int64_t size = 0;
    std::string error;    // why it is not in the image; empty once it is
    bool reached = false;  // false when the run stopped before it
  };
  // The new file at `path` below the root, not to be written over a name in
  // the image (its `error` says so).
  Placing NewFile(Guest& guest, const std::string& path);
  // Puts each file at its path in the image through its temporary name, as
  // WriteBack says; false when the last sync failed. Each file of the image
  // `besides` names second takes the NTFS attributes of the first, where it
  // can, in the same command as the files' own. The `last` files are
  // followed by the volume's unmounting, before the sync after the renames.
  bool PlaceAll(Guest& guest, std::vector<Placing>& files, const volatile std::sig_atomic_t& stop,
                const std::vector<std::pair<std::string, std::string>>& besides, bool last = false);
  // The names in the image's folder `folder`, read once while the volume is
  // mounted read-only; null when it cannot be read.
  const std::vector<std::string>* Names(Guest& guest, const std::string& folder);

  std::string base_;   // the private folder
  std::string root_;   // the volume's copy in it
  std::string volume_;
  std::int64_t copiedBytes_ = 0;
  std::map<std::string, Entry> before_;
  std::set<std::string> copied_;     // the files copied whole, by path below the root
  std::map<std::string, std::string> digests_;  // their SHA-256 as copied
  std::map<std::string, std::vector<std::string>> names_;  // the folders of the image listed
  std::set<std::string> backedUp_;   // files whose backup reached the image
  // Folders copied under their short name, with their path in the image.
  std::map<std::string, std::string> aliases_;
};
