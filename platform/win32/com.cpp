// The COM layer's own calls on Windows: type library registration through
// the system, and the hooks of the Linux transport, which the COM runtime
// does not need here.
#include "platform/com.h"

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <cwchar>
#include <string>

namespace wl::platform {

namespace {

std::wstring LibraryKey(const TypeLibDescription& description) { return L"TypeLib\\" + GuidText(description.libid); }

std::wstring VersionKey(const TypeLibDescription& description) {
  wchar_t version[32];
  std::swprintf(version, 32, L"\\%x.%x", description.majorVersion, description.minorVersion);
  return LibraryKey(description) + version;
}

}  // namespace

void AddBuiltInTypeLibrary(const TypeLibDescription&) {}

void SetServiceStarter(ServiceStarter*) {}

void SetComReportSink(ComReportSink) {}

HRESULT RegisterTypeLibrary(const TypeLibDescription& description, std::wstring_view modulePath) {
  std::wstring path(modulePath);
  ITypeLib* library = nullptr;
  HRESULT result = ::LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, &library);
  if (FAILED(result)) return result;
  TLIBATTR* attributes = nullptr;
  result = library->GetLibAttr(&attributes);
  if (SUCCEEDED(result)) {
    if (!IsEqualGUID(attributes->guid, description.libid)) result = TYPE_E_CANTLOADLIBRARY;
    library->ReleaseTLibAttr(attributes);
  }
  library->Release();
  // The system writes the module under the library's locale; Wine's
  // typelib marshaler looks for it under the neutral one only, so it is
  // written there too.
  if (SUCCEEDED(result)) {
    std::wstring key = VersionKey(description) + L"\\0\\win64";
    auto bytes = static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t));
    LSTATUS status = ::RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, REG_SZ, path.c_str(), bytes);
    if (status != ERROR_SUCCESS) result = HRESULT_FROM_WIN32(status);
  }
  return result;
}

HRESULT UnregisterTypeLibrary(const TypeLibDescription& description) {
  HRESULT result = ::UnRegisterTypeLib(description.libid, description.majorVersion, description.minorVersion,
                                       description.lcid, SYS_WIN64);
  ::RegDeleteTreeW(HKEY_CLASSES_ROOT, LibraryKey(description).c_str());
  // Nothing registered is as good as removed.
  if (result == TYPE_E_REGISTRYACCESS || result == TYPE_E_LIBNOTREGISTERED) return S_OK;
  return result;
}

}  // namespace wl::platform
