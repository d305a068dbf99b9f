// The COM layer's own calls on Windows: type library registration through
// the system, and the hooks of the Linux transport, which the COM runtime
// does not need here.
#include "com/com.h"

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <sddl.h>

#include <cwchar>
#include <string>

#include "platform/system.h"

namespace wl::platform {

namespace {

std::wstring VersionKey(const TypeLibDescription& description) {
  wchar_t version[32];
  std::swprintf(version, 32, L"\\%x.%x", description.majorVersion, description.minorVersion);
  return L"TypeLib\\" + GuidText(description.libid) + version;
}

// The server's type library: its first TYPELIB resource, else the ".tlb"
// file beside it. *path is where it was found.
HRESULT LoadServerTypeLib(std::wstring_view modulePath, ITypeLib** library, std::wstring* path) {
  *path = std::wstring(modulePath);
  HRESULT result = ::LoadTypeLibEx(path->c_str(), REGKIND_NONE, library);
  if (SUCCEEDED(result)) return result;
  std::size_t name = path->find_last_of(L"\\/");
  std::size_t dot = path->rfind(L'.');
  if (dot == std::wstring::npos || (name != std::wstring::npos && dot < name)) dot = path->size();
  *path = path->substr(0, dot) + L".tlb";
  return ::LoadTypeLibEx(path->c_str(), REGKIND_NONE, library);
}

// An oleaut32 function that older systems lack; null then.
template <typename Function>
Function OleAutFunction(const char* name) {
  HMODULE module = ::GetModuleHandleW(L"oleaut32.dll");
  return module == nullptr ? nullptr
                           : reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

using RegisterForUser = HRESULT(WINAPI*)(ITypeLib*, OLECHAR*, OLECHAR*);
using UnregisterForUser = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

// Wine's typelib marshaler looks for the library under the neutral locale
// only, while RegisterTypeLib writes it under the library's own; under Wine
// the neutral entry is added beside it (and removed with it), or calls
// between processes find no proxy.
bool NeedsNeutralLocale() { return WineVersion().has_value(); }

}  // namespace

void AddBuiltInTypeLibrary(const TypeLibDescription&) {}

void SetServiceStarter(ServiceStarter*) {}

void SetComReportSink(ComReportSink) {}

void SetComTimeouts(const ComTimeouts&) {}

void SetComServerLimits(const ComServerLimits&) {}

namespace {

// Whether the token that the thread acts with (the client's while it is
// impersonated, else the process's) holds the well-known group enabled.
bool ActsAs(WELL_KNOWN_SID_TYPE type) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(sid);
  BOOL member = FALSE;
  return ::CreateWellKnownSid(type, nullptr, sid, &size) && ::CheckTokenMembership(nullptr, sid, &member) && member;
}

std::wstring TokenUserSid(HANDLE token) {
  DWORD size = 0;
  (void)::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::wstring text;
  if (size == 0) return text;
  std::string buffer(size, '\0');
  LPWSTR converted = nullptr;
  if (::GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
      ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &converted)) {
    text = converted;
    ::LocalFree(converted);
  }
  return text;
}

}  // namespace

ComCaller GetComCaller() {
  HRESULT impersonated = ::CoImpersonateClient();
  // Outside a call from another process there is no client to stand for:
  // the caller is the process itself. Any other failure leaves the caller
  // unknown, which counts as an ordinary user.
  bool own =
      impersonated == RPC_E_CALL_COMPLETE || impersonated == RPC_E_NO_CONTEXT || impersonated == CO_E_NOTINITIALIZED;
  ComCaller caller;
  if (SUCCEEDED(impersonated) || own) {
    caller.system = ActsAs(WinLocalSystemSid) || ActsAs(WinBuiltinAdministratorsSid);
    HANDLE token = nullptr;
    if (SUCCEEDED(impersonated) ? ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)
                                : ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
      caller.account = TokenUserSid(token);
      ::CloseHandle(token);
    }
    if (own) caller.processId = ::GetCurrentProcessId();
  }
  if (SUCCEEDED(impersonated)) (void)::CoRevertToSelf();
  return caller;
}

HRESULT RegisterTypeLibrary(const TypeLibDescription& description, std::wstring_view modulePath, bool perUser) {
  ITypeLib* library = nullptr;
  std::wstring path;
  HRESULT result = LoadServerTypeLib(modulePath, &library, &path);
  if (FAILED(result)) return result;
  TLIBATTR* attributes = nullptr;
  result = library->GetLibAttr(&attributes);
  if (SUCCEEDED(result)) {
    if (!IsEqualGUID(attributes->guid, description.libid)) result = TYPE_E_CANTLOADLIBRARY;
    library->ReleaseTLibAttr(attributes);
  }
  if (SUCCEEDED(result)) {
    auto forUser = perUser ? OleAutFunction<RegisterForUser>("RegisterTypeLibForUser") : nullptr;
    result =
        forUser != nullptr ? forUser(library, path.data(), nullptr) : ::RegisterTypeLib(library, path.data(), nullptr);
  }
  library->Release();
  if (SUCCEEDED(result) && NeedsNeutralLocale()) {
    std::wstring key = VersionKey(description) + L"\\0\\win64";
    auto bytes = static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t));
    LSTATUS status = ::RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, REG_SZ, path.c_str(), bytes);
    if (status != ERROR_SUCCESS) result = HRESULT_FROM_WIN32(status);
  }
  return result;
}

HRESULT UnregisterTypeLibrary(const TypeLibDescription& description, std::wstring_view modulePath, bool perUser) {
  if (NeedsNeutralLocale()) ::RegDeleteTreeW(HKEY_CLASSES_ROOT, (VersionKey(description) + L"\\0").c_str());
  ITypeLib* library = nullptr;
  std::wstring path;
  HRESULT result = LoadServerTypeLib(modulePath, &library, &path);
  if (FAILED(result)) return result;
  TLIBATTR* attributes = nullptr;
  result = library->GetLibAttr(&attributes);
  if (SUCCEEDED(result)) {
    auto forUser = perUser ? OleAutFunction<UnregisterForUser>("UnRegisterTypeLibForUser") : nullptr;
    result = forUser != nullptr ? forUser(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                                          attributes->lcid, attributes->syskind)
                                : ::UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum,
                                                      attributes->wMinorVerNum, attributes->lcid, attributes->syskind);
    library->ReleaseTLibAttr(attributes);
  }
  library->Release();
  // Nothing registered is as good as removed.
  if (result == TYPE_E_REGISTRYACCESS || result == TYPE_E_LIBNOTREGISTERED) return S_OK;
  return result;
}

}  // namespace wl::platform
