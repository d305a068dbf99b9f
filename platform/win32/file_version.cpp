// Version resources from the system's version library.
#include "platform/file_version.h"

#include <windows.h>

#include <cwchar>
#include <vector>

namespace wl::platform {
namespace {

// Turns WOW64 file-system redirection off for its lifetime, so that a 32-bit
// process finds the real System32; a 64-bit process never calls it.
class RedirectionOff {
 public:
  RedirectionOff() {
    BOOL wow64 = FALSE;
    if (::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64) {
      disabled_ = ::Wow64DisableWow64FsRedirection(&previous_) != FALSE;
    }
  }
  ~RedirectionOff() {
    if (disabled_) ::Wow64RevertWow64FsRedirection(previous_);
  }
  RedirectionOff(const RedirectionOff&) = delete;
  RedirectionOff& operator=(const RedirectionOff&) = delete;

 private:
  void* previous_ = nullptr;
  bool disabled_ = false;
};

}  // namespace

bool QueryFileVersionString(std::wstring_view path, std::wstring_view key, std::wstring* out) {
  if (path.empty() || key.empty()) return false;
  RedirectionOff redirection;
  std::wstring file(path);
  DWORD ignored = 0;
  DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<unsigned char> buffer(size, 0);
  if (!::GetFileVersionInfoW(file.c_str(), 0, size, buffer.data())) return false;
  void* translations = nullptr;
  UINT translationBytes = 0;
  if (!::VerQueryValueW(buffer.data(), L"\\VarFileInfo\\Translation", &translations, &translationBytes)) {
    return false;
  }
  auto pairs = static_cast<const WORD*>(translations);
  std::wstring name(key);
  for (UINT i = 0; i + 1 < translationBytes / sizeof(WORD); i += 2) {
    wchar_t subBlock[261];
    std::swprintf(subBlock, 261, L"\\StringFileInfo\\%04x%04x\\%ls", pairs[i], pairs[i + 1], name.c_str());
    void* value = nullptr;
    UINT units = 0;
    if (::VerQueryValueW(buffer.data(), subBlock, &value, &units) && value != nullptr) {
      *out = static_cast<const wchar_t*>(value);
      return true;
    }
  }
  return false;
}

}  // namespace wl::platform
