// One owner for a system handle (a registry key, a service handle, a
// descriptor, a Windows HANDLE): closes it exactly once, when it goes or when
// told. Move-only, so that a copy can never close the same handle twice; a
// moved-from owner owns nothing. Not thread-safe: one owner, one thread at a
// time.
#pragma once

#include <utility>

namespace wl::platform {

// Closer is called as Closer(handle) for a handle other than Invalid; what it
// returns is handed back by Close() and dropped everywhere else.
template <class Handle, auto Closer, Handle Invalid = Handle{}>
class UniqueHandle {
 public:
  using CloseResult = decltype(Closer(std::declval<Handle>()));

  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  // Safe for a move onto itself: the handle is released before the reset.
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  [[nodiscard]] Handle Get() const noexcept { return handle_; }
  [[nodiscard]] bool Valid() const noexcept { return handle_ != Invalid; }
  explicit operator bool() const noexcept { return Valid(); }

  // Gives the handle up without closing it.
  [[nodiscard]] Handle Release() noexcept { return std::exchange(handle_, Invalid); }

  // Closes the handle held (if any) and takes `handle` in its place.
  void Reset(Handle handle = Invalid) noexcept {
    Handle old = std::exchange(handle_, handle);
    if (old != Invalid) static_cast<void>(Closer(old));
  }

  // Closes the handle now and returns what the closer returned, or a
  // default-made result when nothing was open. Owns nothing afterwards.
  [[nodiscard]] CloseResult Close() noexcept {
    if (!Valid()) return CloseResult{};
    return Closer(Release());
  }

  // For a call that returns a new handle through an out-parameter: closes
  // what was held and gives the address to fill.
  [[nodiscard]] Handle* Receive() noexcept {
    Reset();
    return &handle_;
  }

 private:
  Handle handle_ = Invalid;
};

}  // namespace wl::platform
