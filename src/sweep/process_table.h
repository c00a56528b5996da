#pragma once
// The system's process table: a snapshot of the running processes, and the few
// operations the sweep performs on one process. Abstract so that the sweep can
// be driven by a fake table.

#include <cstddef>
#include <cstdint>
#include <string>

// The room for an executable path, terminator included (MAX_PATH).
constexpr std::size_t kExecutablePathCapacity = 260;

// One entry of a snapshot; the entry's own executable name is not used, the
// path is read from the process itself.
struct ProcessEntry {
  std::uint32_t processId = 0;
  std::uint32_t parentProcessId = 0;
};

class ProcessTable {
 public:
  // A snapshot or an open process, as the table hands it out. Only the table
  // interprets the value; whoever receives one closes it exactly once, with the
  // matching Close call (ScopedSnapshot and ScopedProcess below do that).
  using Handle = std::uintptr_t;

  virtual ~ProcessTable() = default;

  // CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0). False when no snapshot
  // could be taken; `snapshot` is then left untouched and nothing is to close.
  [[nodiscard]] virtual bool TakeSnapshot(Handle& snapshot) noexcept = 0;
  // Process32FirstW and Process32NextW: false when there is no (further) entry.
  [[nodiscard]] virtual bool FirstEntry(Handle snapshot, ProcessEntry& entry) noexcept = 0;
  [[nodiscard]] virtual bool NextEntry(Handle snapshot, ProcessEntry& entry) noexcept = 0;
  virtual void CloseSnapshot(Handle snapshot) noexcept = 0;

  // OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ |
  // PROCESS_TERMINATE (0x411), not inheritable, processId): exactly what
  // reading the path and terminating need, and rights that Windows XP and
  // Server 2003 grant. False when access is refused or the process is gone;
  // nothing is to close then.
  [[nodiscard]] virtual bool Open(std::uint32_t processId, Handle& process) noexcept = 0;
  // EnumProcessModules with room for one module: false when the process's
  // modules cannot be read.
  [[nodiscard]] virtual bool ProbeModules(Handle process) noexcept = 0;
  // The real path of the process's image (the file it runs, whatever name it
  // was started by: a junction, a substituted drive) into
  // kExecutablePathCapacity characters, cut to what fits; where that cannot be
  // had, GetModuleFileNameExW for the main executable. False on failure.
  [[nodiscard]] virtual bool ReadExecutablePath(Handle process, std::wstring& path) = 0;
  // TerminateProcess(process, 0); does not wait for the process to end.
  [[nodiscard]] virtual bool Terminate(Handle process) noexcept = 0;
  virtual void CloseProcess(Handle process) noexcept = 0;
};

// Owns one snapshot of `table`, if taking it succeeded, and closes it once.
class ScopedSnapshot {
 public:
  explicit ScopedSnapshot(ProcessTable& table) noexcept
      : table_(table), open_(table.TakeSnapshot(handle_)) {}
  ScopedSnapshot(const ScopedSnapshot&) = delete;
  ScopedSnapshot& operator=(const ScopedSnapshot&) = delete;
  ~ScopedSnapshot() {
    if (open_) table_.CloseSnapshot(handle_);
  }

  [[nodiscard]] bool valid() const noexcept { return open_; }
  [[nodiscard]] bool First(ProcessEntry& entry) noexcept {
    return open_ && table_.FirstEntry(handle_, entry);
  }
  [[nodiscard]] bool Next(ProcessEntry& entry) noexcept {
    return open_ && table_.NextEntry(handle_, entry);
  }

 private:
  ProcessTable& table_;
  ProcessTable::Handle handle_ = 0;
  bool open_;
};

// Owns one opened process of `table`, if opening it succeeded, and closes it once.
class ScopedProcess {
 public:
  ScopedProcess(ProcessTable& table, std::uint32_t processId) noexcept
      : table_(table), open_(table.Open(processId, handle_)) {}
  ScopedProcess(const ScopedProcess&) = delete;
  ScopedProcess& operator=(const ScopedProcess&) = delete;
  ~ScopedProcess() {
    if (open_) table_.CloseProcess(handle_);
  }

  [[nodiscard]] bool valid() const noexcept { return open_; }
  [[nodiscard]] ProcessTable::Handle get() const noexcept { return handle_; }

 private:
  ProcessTable& table_;
  ProcessTable::Handle handle_ = 0;
  bool open_;
};
