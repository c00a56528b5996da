#pragma once
// One Windows installation on a volume mounted under Linux: its SOFTWARE and
// SYSTEM hives, and the classes hive of every user profile, found without
// regard to letter case and mounted in one offline registry.

#include <memory>
#include <string>
#include <vector>

#include "host/system_info.h"
#include "offline/hive_file.h"
#include "offline/hive_registry.h"

class WindowsVolume {
 public:
  struct Profile {
    std::wstring sid;
    std::wstring folder;  // as Windows names it, C:\Users\alice
    std::unique_ptr<HiveFile> classes;
  };

  // Opens the SOFTWARE hive for changes and the SYSTEM hive for reading,
  // from the Windows folder below `root`, and mounts them under HKLM.
  // False with the reason, to be shown as it is, when that cannot be done.
  [[nodiscard]] bool OpenMachineHives(const std::string& root, std::string& problem);
  // Opens, for changes, the classes hive of every profile that SOFTWARE's
  // profile list names and that has one on this volume.
  [[nodiscard]] bool OpenProfiles(const SystemInfo& info, std::string& problem);
  // Makes HKCU the user of `profile`.
  void MountProfile(const Profile& profile);

  HiveRegistry& Registry() noexcept { return registry_; }
  std::vector<Profile>& Profiles() noexcept { return profiles_; }
  // Every hive open for changes.
  std::vector<HiveFile*> WritableHives();

 private:
  std::unique_ptr<HiveFile> OpenHive(const std::string& path, bool writable, std::string& problem);
  void MountMachine();
  std::wstring ReadText(const std::wstring& path, const std::wstring& name);

  std::string root_;
  std::unique_ptr<HiveFile> software_;
  std::unique_ptr<HiveFile> system_;
  std::vector<Profile> profiles_;
  HiveRegistry registry_;
};

// `relative` (components separated by backslashes or slashes) below `root`,
// each component matched without regard to letter case, as the volume spells
// it; empty when some component is missing.
std::string FindOnVolume(const std::string& root, const std::wstring& relative);

// Reads a string value, or a REG_DWORD's number, of HKLM\path; false when
// there is none of that type.
bool ReadRegistryText(RegistryAccess& registry, const std::wstring& path, const std::wstring& name,
                      std::wstring& text);
bool ReadRegistryNumber(RegistryAccess& registry, const std::wstring& path, const std::wstring& name,
                        std::uint32_t& number);
