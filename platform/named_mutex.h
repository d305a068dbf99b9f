// A mutex shared by all processes that open it by name (CreateMutexW on
// Windows; an exclusive lock on <root>/run/mutex/<name>.lock on Linux).
#pragma once

#include <memory>
#include <string_view>

#include "platform/types.h"

namespace wl::platform {

class NamedMutex {
 public:
  virtual ~NamedMutex() = default;
  // Waits without a time limit (WaitForSingleObject(INFINITE)).
  virtual void Lock() = 0;
  // ReleaseMutex.
  virtual void Unlock() = 0;
};

// CreateMutexW(nullptr, FALSE, name). Null with *error set on failure.
std::unique_ptr<NamedMutex> CreateNamedMutex(std::wstring_view name, Win32Error* error);

}  // namespace wl::platform
