#pragma once

#include "Win32.h"

#ifndef _WIN32
// Natively these come from whatever stands in for the platform: the double
// of the host's tests.
BOOL CloseHandle(HANDLE handle);
DWORD GetLastError();
void SetLastError(DWORD error);
#endif

// Owns a kernel handle (a process, a thread, a job) and closes it exactly
// once: when it is reset to another or destroyed. Closing keeps the
// thread's last error, so a failure can still be read after the handles
// are let go. Null and INVALID_HANDLE_VALUE are both no handle, since Win32
// calls fail with one or the other; GetCurrentProcess() returns that same
// value as a pseudo-handle, so it is never held here.
class ScopedHandle {
public:
  constexpr ScopedHandle() = default;
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ScopedHandle(const ScopedHandle &) = delete;
  ScopedHandle &operator=(const ScopedHandle &) = delete;
  ScopedHandle(ScopedHandle &&other) noexcept : handle_(other.Release()) {}
  ScopedHandle &operator=(ScopedHandle &&other) noexcept {
    Reset(other.Release());
    return *this;
  }
  ~ScopedHandle() { Reset(); }

  HANDLE Get() const { return handle_; }
  bool IsValid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

  [[nodiscard]] HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }

  // With the handle it already holds, it keeps it open.
  void Reset(HANDLE handle = nullptr) {
    if (handle == handle_)
      return;
    if (IsValid()) {
      DWORD error = GetLastError();
      CloseHandle(handle_);
      SetLastError(error);
    }
    handle_ = handle;
  }

private:
  HANDLE handle_ = nullptr;
};
