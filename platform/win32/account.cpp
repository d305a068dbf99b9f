// The process's user and account SIDs on the Windows API.
#include "platform/account.h"

#include <windows.h>

#include <sddl.h>

// windows.h names its own SID-to-name lookup LookupAccountSid through a
// macro, which would rename this layer's function defined below.
#undef LookupAccountSid

namespace wl::platform {

Win32Error GetCurrentUserName(std::wstring* name) {
  wchar_t buffer[257];
  DWORD length = 257;
  if (!::GetUserNameW(buffer, &length)) return ::GetLastError();
  name->assign(buffer, length > 0 ? length - 1 : 0);
  return kErrorSuccess;
}

Win32Error LookupAccountSid(std::wstring_view accountName, std::vector<std::uint8_t>* sid) {
  std::wstring account(accountName);
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof buffer;
  wchar_t domain[256];
  DWORD domainLength = 256;
  SID_NAME_USE use;
  if (!::LookupAccountNameW(nullptr, account.c_str(), buffer, &size, domain, &domainLength, &use)) {
    return ::GetLastError();
  }
  sid->assign(buffer, buffer + ::GetLengthSid(buffer));
  return kErrorSuccess;
}

Win32Error ConvertSidToString(const std::vector<std::uint8_t>& sid, std::wstring* text) {
  // The size must be that of the SID's own count, as on Linux, before the
  // system reads the SID.
  if (sid.size() < 8 || sid.size() != 8u + 4u * sid[1] || !::IsValidSid(const_cast<std::uint8_t*>(sid.data()))) {
    return ERROR_INVALID_SID;
  }
  wchar_t* string = nullptr;
  if (!::ConvertSidToStringSidW(const_cast<std::uint8_t*>(sid.data()), &string)) return ::GetLastError();
  *text = string;
  ::LocalFree(string);
  return kErrorSuccess;
}

}  // namespace wl::platform
