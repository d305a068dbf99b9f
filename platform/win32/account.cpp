// The process's user and account SIDs on the Windows API.
#include "platform/account.h"

#include <windows.h>

#include <sddl.h>

// windows.h names its own SID-to-name lookup LookupAccountSid through a
// macro, which would rename this layer's function defined below.
#undef LookupAccountSid

namespace wl::platform {

Expected<std::wstring, Win32Error> GetCurrentUserName() {
  wchar_t buffer[257];
  DWORD length = 257;
  if (!::GetUserNameW(buffer, &length)) return Unexpected(::GetLastError());
  return std::wstring(buffer, length > 0 ? length - 1 : 0);
}

Expected<std::vector<std::uint8_t>, Win32Error> LookupAccountSid(std::wstring_view accountName) {
  std::wstring account(accountName);
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof buffer;
  wchar_t domain[256];
  DWORD domainLength = 256;
  SID_NAME_USE use;
  if (!::LookupAccountNameW(nullptr, account.c_str(), buffer, &size, domain, &domainLength, &use)) {
    return Unexpected(::GetLastError());
  }
  return std::vector<std::uint8_t>(buffer, buffer + ::GetLengthSid(buffer));
}

Expected<std::wstring, Win32Error> ConvertSidToString(const std::vector<std::uint8_t>& sid) {
  // The size must be that of the SID's own count, as on Linux, before the
  // system reads the SID.
  if (sid.size() < 8 || sid.size() != 8u + 4u * sid[1] || !::IsValidSid(const_cast<std::uint8_t*>(sid.data()))) {
    return Unexpected(kErrorInvalidSid);
  }
  wchar_t* string = nullptr;
  if (!::ConvertSidToStringSidW(const_cast<std::uint8_t*>(sid.data()), &string)) return Unexpected(::GetLastError());
  std::wstring text = string;
  ::LocalFree(string);
  return text;
}

}  // namespace wl::platform
