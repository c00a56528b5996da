#pragma once
// The run's one description of the host: created empty by the run driver,
// filled by the host classification, the watched folders and the driver itself,
// and read by the banner, the sweep and the reset routines.

#include <cstdint>
#include <string>

struct SystemInfo {
  std::wstring osName;
  std::wstring allUsersProfile;
  std::wstring allUsersProfileShort;
  std::wstring userProfile;
  std::wstring userProfileShort;
  std::wstring tempFolder;
  std::wstring tempFolderShort;
  // Each folder's real path (no junction, no substituted drive on the way).
  std::wstring allUsersProfileReal;
  std::wstring userProfileReal;
  std::wstring tempFolderReal;
  // The signed-in user when another account than the run's: its SID, and
  // its profile and temporary folders in the same three forms (empty when
  // there is no such user, or a folder is not watched).
  std::wstring signedInSid;
  std::wstring signedInProfile;
  std::wstring signedInProfileShort;
  std::wstring signedInProfileReal;
  std::wstring signedInTemp;
  std::wstring signedInTempShort;
  std::wstring signedInTempReal;
  std::wstring logFilePath;
  std::wstring processorName;
  std::wstring unsupportedNote;
  std::uint32_t majorVersion = 0;
  std::uint32_t minorVersion = 0;
  std::uint32_t buildNumber = 0;
  std::uint32_t platformId = 0;
  std::wstring servicePack;
  std::uint16_t servicePackMajor = 0;
  std::uint16_t servicePackMinor = 0;
  std::uint16_t suiteMask = 0;
  std::uint8_t productType = 0;
  std::int32_t supported = 0;
  std::uint32_t processId = 0;
  std::int32_t is64Bit = 0;
};
