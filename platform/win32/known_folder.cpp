// Known folders from the shell. When $WAYLINE_ROOT is set they are taken
// under it, as on Linux (<root>\ProgramData, <root>\System32), so that tests
// can use a temporary root instead of the machine's folders.
#include "platform/known_folder.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <filesystem>
#include <system_error>

#include "platform/machine_root.h"

namespace wl::platform {

HResult GetKnownFolderPath(KnownFolder folder, bool create, std::wstring* path) {
  std::wstring root = MachineRoot();
  if (!root.empty()) {
    while (!root.empty() && (root.back() == L'\\' || root.back() == L'/')) root.pop_back();
    std::wstring result = root + (folder == KnownFolder::ProgramData ? L"\\ProgramData" : L"\\System32");
    if (create) {
      std::error_code error;
      std::filesystem::create_directories(result, error);
      if (error) return HResultFromWin32(static_cast<Win32Error>(error.value()));
    }
    *path = std::move(result);
    return kSOk;
  }
  const KNOWNFOLDERID& id = folder == KnownFolder::ProgramData ? FOLDERID_ProgramData : FOLDERID_System;
  wchar_t* found = nullptr;
  HRESULT result = ::SHGetKnownFolderPath(id, create ? static_cast<DWORD>(KF_FLAG_CREATE) : 0, nullptr, &found);
  if (SUCCEEDED(result)) *path = found;
  ::CoTaskMemFree(found);
  return result;
}

}  // namespace wl::platform
