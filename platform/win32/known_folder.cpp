// Known folders from the shell. When $WAYLINE_ROOT is set they are taken
// under it, as on Linux (<root>\ProgramData, <root>\System32, a user's own
// data in <root>\Users\<name>\AppData\Local), so that tests can use a
// temporary root instead of the machine's folders.
#include "platform/known_folder.h"

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <filesystem>
#include <system_error>

#include "platform/account.h"
#include "platform/machine_root.h"

namespace wl::platform {
namespace {

bool TokenHolds(WELL_KNOWN_SID_TYPE type) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  BOOL member = FALSE;
  return ::CreateWellKnownSid(type, nullptr, sid, &size) && ::CheckTokenMembership(nullptr, sid, &member) && member;
}

// The local system account, or an administrator whose token holds the
// group (elevated): those write the machine's ProgramData.
bool AdministersMachine() { return TokenHolds(WinLocalSystemSid) || TokenHolds(WinBuiltinAdministratorsSid); }

}  // namespace

Expected<std::wstring, HResult> GetKnownFolderPath(KnownFolder folder, bool create) {
  if (folder == KnownFolder::OwnData && AdministersMachine()) folder = KnownFolder::ProgramData;
  std::wstring root = MachineRoot();
  if (!root.empty()) {
    while (!root.empty() && (root.back() == L'\\' || root.back() == L'/')) root.pop_back();
    std::wstring result = root;
    if (folder == KnownFolder::OwnData) {
      std::wstring user = GetCurrentUserName().ValueOr({});
      if (user.empty()) return Unexpected(HResultFromWin32(kErrorNoneMapped));
      result += L"\\Users\\" + user + L"\\AppData\\Local";
    } else {
      result += folder == KnownFolder::ProgramData ? L"\\ProgramData" : L"\\System32";
    }
    if (create) {
      std::error_code error;
      std::filesystem::create_directories(result, error);
      if (error) return Unexpected(HResultFromWin32(static_cast<std::uint32_t>(error.value())));
    }
    return result;
  }
  const KNOWNFOLDERID& id = folder == KnownFolder::ProgramData ? FOLDERID_ProgramData
                            : folder == KnownFolder::System    ? FOLDERID_System
                                                               : FOLDERID_LocalAppData;
  wchar_t* found = nullptr;
  HRESULT result = ::SHGetKnownFolderPath(id, create ? static_cast<DWORD>(KF_FLAG_CREATE) : 0, nullptr, &found);
  std::wstring path = SUCCEEDED(result) ? found : L"";
  ::CoTaskMemFree(found);
  if (FAILED(result)) return Unexpected(HResult(result));
  return path;
}

}  // namespace wl::platform
