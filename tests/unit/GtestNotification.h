#pragma once

// g++ 12's win32 thread model has neither std::mutex nor
// std::condition_variable, on which GoogleTest builds its Notification.
// This one waits on a Win32 event; GoogleTest uses it only to start the
// threads of its own thread tests. Included before GoogleTest's headers.

#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing::internal {

class Notification {
public:
  Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { CloseHandle(event_); }
  Notification(const Notification &) = delete;
  Notification &operator=(const Notification &) = delete;

  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
  HANDLE event_;
};

} // namespace testing::internal
