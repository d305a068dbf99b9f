// Explicit access rules on the Windows API: a security descriptor string,
// applied with SetNamedSecurityInfoW.
#include "platform/access_rules.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

namespace wl::platform {
namespace {

// Owner Administrators; a protected list (nothing inherited from above) that
// containers and files below inherit. FA and KA: full control; 0x1200a9:
// read, list and run; KR: read.
constexpr const wchar_t* kFolderRules = L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
constexpr const wchar_t* kKeyRules = L"O:BAD:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";

SE_OBJECT_TYPE TypeOf(MachineObject kind) { return kind == MachineObject::kFolder ? SE_FILE_OBJECT : SE_REGISTRY_KEY; }

// The name SetNamedSecurityInfoW takes: the path, or MACHINE\<sub-key>.
std::wstring NameOf(MachineObject kind, std::wstring_view path) {
  return kind == MachineObject::kFolder ? std::wstring(path) : L"MACHINE\\" + std::wstring(path);
}

}  // namespace

Win32Error ProtectMachineObject(MachineObject kind, std::wstring_view path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kind == MachineObject::kFolder ? kFolderRules : kKeyRules,
                                                              SDDL_REVISION_1, &descriptor, nullptr)) {
    return ::GetLastError();
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL list = nullptr;
  PSID owner = nullptr;
  ::GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted);
  ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
  std::wstring name = NameOf(kind, path);
  Win32Error result = ::SetNamedSecurityInfoW(name.data(), TypeOf(kind),
                                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                              nullptr, list, nullptr);
  // The owner goes second: the new list grants Administrators the right to
  // take it.
  Win32Error owned =
      ::SetNamedSecurityInfoW(name.data(), TypeOf(kind), OWNER_SECURITY_INFORMATION, owner, nullptr, nullptr, nullptr);
  ::LocalFree(descriptor);
  return result != ERROR_SUCCESS ? result : owned;
}

Expected<std::wstring, Win32Error> ReadAccessRules(MachineObject kind, std::wstring_view path) {
  std::wstring name = NameOf(kind, path);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  constexpr SECURITY_INFORMATION kWhat = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  Win32Error result =
      ::GetNamedSecurityInfoW(name.c_str(), TypeOf(kind), kWhat, nullptr, nullptr, nullptr, nullptr, &descriptor);
  if (result != ERROR_SUCCESS) return Unexpected(result);
  wchar_t* text = nullptr;
  std::wstring rules;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, kWhat, &text, nullptr)) {
    result = ::GetLastError();
  } else {
    rules = text;
    ::LocalFree(text);
  }
  ::LocalFree(descriptor);
  if (result != ERROR_SUCCESS) return Unexpected(result);
  return rules;
}

}  // namespace wl::platform
