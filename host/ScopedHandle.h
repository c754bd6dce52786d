#pragma once

#include "HostPlatform.h"

// Owns a kernel handle (a process, a thread, a job) and closes it exactly
// once: when it is reset or destroyed. Closing keeps the thread's last
// error, so a failure can still be read after the handles are let go.
class ScopedHandle {
public:
  constexpr ScopedHandle() = default;
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ScopedHandle(const ScopedHandle &) = delete;
  ScopedHandle &operator=(const ScopedHandle &) = delete;
  ScopedHandle(ScopedHandle &&other) noexcept : handle_(other.Release()) {}
  ScopedHandle &operator=(ScopedHandle &&other) noexcept {
    if (this != &other)
      Reset(other.Release());
    return *this;
  }
  ~ScopedHandle() { Reset(); }

  HANDLE Get() const { return handle_; }
  bool IsValid() const { return handle_ != nullptr; }

  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }

  void Reset(HANDLE handle = nullptr) {
    if (handle_ != nullptr) {
      DWORD error = GetLastError();
      CloseHandle(handle_);
      SetLastError(error);
    }
    handle_ = handle;
  }

private:
  HANDLE handle_ = nullptr;
};
