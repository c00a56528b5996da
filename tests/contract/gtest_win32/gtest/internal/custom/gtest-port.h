#pragma once
// GoogleTest's port header for the MinGW-w64 win32 thread model, whose C++
// library has no std::mutex: the one class that needs it, without it. Only
// GoogleTest's own threads wait on a Notification; the contract suite starts none.

#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  void Notify() { notified_ = true; }
  void WaitForNotification() {
    while (!notified_) {
    }
  }

 private:
  std::atomic<bool> notified_{false};
};

}  // namespace internal
}  // namespace testing
