// The COM layer's own calls on Windows: type library registration through
// the system, and the hooks of the Linux transport, which the COM runtime
// does not need here.
#include <objbase.h>
#include <oleauto.h>

#include "platform/com.h"

namespace wl::platform {

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
  return result;
}

HRESULT UnregisterTypeLibrary(const TypeLibDescription& description) {
  HRESULT result = ::UnRegisterTypeLib(description.libid, description.majorVersion, description.minorVersion,
                                       description.lcid, SYS_WIN64);
  // Nothing registered is as good as removed.
  if (result == TYPE_E_REGISTRYACCESS || result == TYPE_E_LIBNOTREGISTERED) return S_OK;
  return result;
}

}  // namespace wl::platform
