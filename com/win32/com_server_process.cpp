// A COM server process on Windows: the process's COM security and loaded
// modules.
#include "com/com_server_process.h"

#include <objbase.h>
#include <windows.h>

#include <string>
#include <vector>

namespace wl::platform {
namespace {

// The token's information of one class, or empty on failure.
std::vector<BYTE> TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD size = 0;
  ::GetTokenInformation(token, kind, nullptr, 0, &size);
  std::vector<BYTE> data(size);
  if (size == 0 || !::GetTokenInformation(token, kind, data.data(), size, &size)) data.clear();
  return data;
}

}  // namespace

HRESULT InitializeServerSecurity() {
  HANDLE token = nullptr;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
    if (::GetLastError() != ERROR_NO_TOKEN || !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
      return HRESULT_FROM_WIN32(::GetLastError());
    }
  }
  std::vector<BYTE> owner = TokenInformation(token, TokenOwner);
  std::vector<BYTE> group = TokenInformation(token, TokenPrimaryGroup);
  ::CloseHandle(token);
  if (owner.empty() || group.empty()) return E_FAIL;
  SECURITY_DESCRIPTOR descriptor;
  if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorOwner(&descriptor, reinterpret_cast<TOKEN_OWNER*>(owner.data())->Owner, FALSE) ||
      !::SetSecurityDescriptorGroup(&descriptor, reinterpret_cast<TOKEN_PRIMARY_GROUP*>(group.data())->PrimaryGroup,
                                    FALSE) ||
      !::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
    return HRESULT_FROM_WIN32(::GetLastError());
  }
  return ::CoInitializeSecurity(&descriptor, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT, RPC_C_IMP_LEVEL_IMPERSONATE,
                                nullptr, EOAC_NONE, nullptr);
}

bool IsModuleLoaded(std::wstring_view moduleName) {
  return ::GetModuleHandleW(std::wstring(moduleName).c_str()) != nullptr;
}

}  // namespace wl::platform
