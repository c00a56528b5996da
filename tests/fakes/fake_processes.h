#pragma once
// Fakes of the process table and the short path lookup. The table holds a list
// of processes, each of whose steps can be made to fail, hands out a fresh
// handle for every snapshot and every open, and records what it was asked, so
// a test can assert that each handle was closed exactly once and that some
// processes were never opened.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "sweep/process_table.h"
#include "sweep/watched_folders.h"

struct FakeProcess {
  std::uint32_t processId = 0;
  std::uint32_t parentProcessId = 0;
  std::wstring path;  // what reading the executable path yields
  bool openFails = false;
  bool probeFails = false;
  bool readFails = false;
  bool terminateFails = false;
};

class FakeProcessTable : public ProcessTable {
 public:
  std::vector<FakeProcess> processes;  // in snapshot order
  bool snapshotFails = false;          // every snapshot fails
  std::size_t snapshotsBeforeFailure = static_cast<std::size_t>(-1);  // later ones fail

  // Records, in the order made.
  std::vector<std::uint32_t> opened;      // process ids whose open was attempted
  std::vector<std::uint32_t> terminated;  // process ids terminated successfully
  std::vector<Handle> snapshotsTaken;
  std::vector<Handle> snapshotsClosed;
  std::vector<Handle> processHandlesOpened;
  std::vector<Handle> processHandlesClosed;
  std::size_t snapshotAttempts = 0;
  std::size_t misuse = 0;  // calls on a handle that is unknown or already closed

  explicit FakeProcessTable(std::vector<FakeProcess> list = {}) : processes(std::move(list)) {}

  bool TakeSnapshot(Handle& snapshot) noexcept override {
    ++snapshotAttempts;
    if (snapshotFails || snapshotsTaken.size() >= snapshotsBeforeFailure) return false;
    snapshot = nextHandle_++;
    snapshotsTaken.push_back(snapshot);
    cursor_[snapshot] = 0;
    return true;
  }
  bool FirstEntry(Handle snapshot, ProcessEntry& entry) noexcept override {
    if (!IsOpenSnapshot(snapshot)) return false;
    cursor_[snapshot] = 0;
    return Read(snapshot, entry);
  }
  bool NextEntry(Handle snapshot, ProcessEntry& entry) noexcept override {
    if (!IsOpenSnapshot(snapshot)) return false;
    return Read(snapshot, entry);
  }
  void CloseSnapshot(Handle snapshot) noexcept override {
    if (!IsOpenSnapshot(snapshot)) ++misuse;
    snapshotsClosed.push_back(snapshot);
  }

  bool Open(std::uint32_t processId, Handle& process) noexcept override {
    opened.push_back(processId);
    const FakeProcess* found = Find(processId);
    if (found == nullptr || found->openFails) return false;
    process = nextHandle_++;
    processHandlesOpened.push_back(process);
    owner_[process] = processId;
    return true;
  }
  bool ProbeModules(Handle process) noexcept override {
    const FakeProcess* found = OpenProcessOf(process);
    return found != nullptr && !found->probeFails;
  }
  bool ReadExecutablePath(Handle process, std::wstring& path) override {
    const FakeProcess* found = OpenProcessOf(process);
    if (found == nullptr || found->readFails) return false;
    path = found->path;
    return true;
  }
  bool Terminate(Handle process) noexcept override {
    const FakeProcess* found = OpenProcessOf(process);
    if (found == nullptr || found->terminateFails) return false;
    terminated.push_back(found->processId);
    return true;
  }
  void CloseProcess(Handle process) noexcept override {
    if (OpenProcessOf(process) == nullptr) ++misuse;
    processHandlesClosed.push_back(process);
  }

  // True when every handle handed out was closed exactly once and nothing else
  // was closed or used after its close.
  bool AllClosedOnce() const {
    return misuse == 0 && SameHandles(snapshotsTaken, snapshotsClosed) &&
           SameHandles(processHandlesOpened, processHandlesClosed);
  }
  bool WasOpened(std::uint32_t processId) const {
    return std::find(opened.begin(), opened.end(), processId) != opened.end();
  }

 private:
  static bool SameHandles(std::vector<Handle> a, std::vector<Handle> b) {
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return a == b;
  }
  bool IsOpenSnapshot(Handle snapshot) const {
    return cursor_.count(snapshot) != 0 &&
           std::count(snapshotsClosed.begin(), snapshotsClosed.end(), snapshot) == 0;
  }
  bool Read(Handle snapshot, ProcessEntry& entry) {
    std::size_t& at = cursor_[snapshot];
    if (at >= processes.size()) return false;
    entry.processId = processes[at].processId;
    entry.parentProcessId = processes[at].parentProcessId;
    ++at;
    return true;
  }
  const FakeProcess* Find(std::uint32_t processId) const {
    for (const FakeProcess& process : processes)
      if (process.processId == processId) return &process;
    return nullptr;
  }
  const FakeProcess* OpenProcessOf(Handle process) {
    auto it = owner_.find(process);
    if (it == owner_.end()) return nullptr;
    if (std::count(processHandlesClosed.begin(), processHandlesClosed.end(), process) != 0) {
      return nullptr;
    }
    return Find(it->second);
  }

  Handle nextHandle_ = 0x100;
  std::map<Handle, std::size_t> cursor_;
  std::map<Handle, std::uint32_t> owner_;
};

// Short forms from a table; a path without an entry comes back as itself, as
// when the platform call fails. Records every path asked for. The Windows
// folder is `windowsFolder` (none by default).
class FakeShortPaths : public ShortPaths {
 public:
  std::map<std::wstring, std::wstring> shortForms;
  std::vector<std::wstring> asked;
  std::wstring windowsFolder;

  std::wstring WindowsFolder() override { return windowsFolder; }

  std::wstring ShortPathOf(const std::wstring& path) override {
    asked.push_back(path);
    auto it = shortForms.find(path);
    return it == shortForms.end() ? path : it->second;
  }
};
