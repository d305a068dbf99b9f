// Named mutexes on the Windows API.
#include "platform/named_mutex.h"

#include <windows.h>

#include <string>

#include "platform/win32/kernel_handle.h"

namespace wl::platform {
namespace {

class WindowsNamedMutex : public NamedMutex {
 public:
  explicit WindowsNamedMutex(HANDLE handle) : handle_(handle) {}

  // WAIT_ABANDONED (an owner ended without releasing) also gives ownership.
  void Lock() override { ::WaitForSingleObject(handle_.Get(), INFINITE); }
  void Unlock() override { ::ReleaseMutex(handle_.Get()); }

 private:
  win32::KernelHandle handle_;
};

}  // namespace

std::unique_ptr<NamedMutex> CreateNamedMutex(std::wstring_view name, Win32Error* error) {
  std::wstring text(name);
  HANDLE handle = ::CreateMutexW(nullptr, FALSE, text.empty() ? nullptr : text.c_str());
  if (handle == nullptr) {
    *error = ::GetLastError();
    return nullptr;
  }
  return std::make_unique<WindowsNamedMutex>(handle);
}

}  // namespace wl::platform
