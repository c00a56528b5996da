#pragma once
// The Windows process table (toolhelp snapshots, the process status calls) and the Windows folder
// lookups (short paths, the Windows folder, the folders of installed programs)
// behind the sweep's interfaces.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sweep/process_table.h"
#include "sweep/watched_folders.h"

class WinProcessTable final : public ProcessTable {
 public:
  WinProcessTable();
  ~WinProcessTable() override;
  WinProcessTable(const WinProcessTable&) = delete;
  WinProcessTable& operator=(const WinProcessTable&) = delete;

  [[nodiscard]] bool TakeSnapshot(Handle& snapshot) noexcept override;
  [[nodiscard]] bool FirstEntry(Handle snapshot, ProcessEntry& entry) noexcept override;
  [[nodiscard]] bool NextEntry(Handle snapshot, ProcessEntry& entry) noexcept override;
  void CloseSnapshot(Handle snapshot) noexcept override;

  [[nodiscard]] bool Open(std::uint32_t processId, Handle& process) noexcept override;
  [[nodiscard]] bool ProbeModules(Handle process) noexcept override;
  [[nodiscard]] bool ReadExecutablePath(Handle process, std::wstring& path) override;
  [[nodiscard]] bool Terminate(Handle process) noexcept override;
  void CloseProcess(Handle process) noexcept override;

 private:
  struct StatusLibrary;  // where EnumProcessModules and GetModuleFileNameExW come from
  std::unique_ptr<StatusLibrary> status_;
};

class WinShortPaths final : public ShortPaths {
 public:
  WinShortPaths() = default;

  // GetShortPathNameW with a 260-character buffer; the path itself when the
  // call fails or the short form does not fit.
  std::wstring ShortPathOf(const std::wstring& path) override;
  // GetFinalPathNameByHandleW of the folder, from Vista on; the path itself
  // before, or when it fails.
  std::wstring RealPathOf(const std::wstring& path) override;
  // GetSystemWindowsDirectoryW; empty when it fails or does not fit MAX_PATH.
  std::wstring WindowsFolder() override;
  std::vector<std::wstring> ProgramFolders() override;
};
