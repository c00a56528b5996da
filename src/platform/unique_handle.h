#pragma once
// One RAII shape for every Windows handle the tool owns: a key, a process, a
// snapshot, a token, a file. Each is closed exactly once, on every path.

#include <windows.h>

#include <utility>

template <typename Handle, typename Traits>
class UniqueHandle {
 public:
  UniqueHandle() noexcept = default;
  explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueHandle() { reset(); }

  [[nodiscard]] bool valid() const noexcept { return handle_ != Traits::Invalid(); }
  explicit operator bool() const noexcept { return valid(); }
  [[nodiscard]] Handle get() const noexcept { return handle_; }

  // For the out-parameter of an open call; closes what was held before.
  Handle* put() noexcept {
    reset();
    return &handle_;
  }
  Handle release() noexcept { return std::exchange(handle_, Traits::Invalid()); }
  void reset(Handle handle = Traits::Invalid()) noexcept {
    Handle old = std::exchange(handle_, handle);
    if (old != Traits::Invalid()) Traits::Close(old);
  }

 private:
  Handle handle_ = Traits::Invalid();
};

struct KeyTraits {
  static HKEY Invalid() noexcept { return nullptr; }
  static void Close(HKEY key) noexcept { ::RegCloseKey(key); }
};
struct NullHandleTraits {  // process and token handles: null when not open
  static HANDLE Invalid() noexcept { return nullptr; }
  static void Close(HANDLE handle) noexcept { ::CloseHandle(handle); }
};
struct FileHandleTraits {  // toolhelp snapshots and files: INVALID_HANDLE_VALUE when not open
  static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE handle) noexcept { ::CloseHandle(handle); }
};

using UniqueKey = UniqueHandle<HKEY, KeyTraits>;
using UniqueProcessHandle = UniqueHandle<HANDLE, NullHandleTraits>;
using UniqueToken = UniqueHandle<HANDLE, NullHandleTraits>;
using UniqueSnapshot = UniqueHandle<HANDLE, FileHandleTraits>;
using UniqueFileHandle = UniqueHandle<HANDLE, FileHandleTraits>;
