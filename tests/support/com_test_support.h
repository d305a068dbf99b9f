// Shared by the COM tests and the child program's COM commands: the test
// server's registration and the files through which it tells the tests
// about itself.
#pragma once

#include <filesystem>
#include <string>

#include "com/com.h"
#include "diagnostics/path_data.h"
#include "logclient/trace_log_manager_type.h"
#include "registry/registry.h"
#include "tests/support/registry_values.h"
#include "tests/support/test_support.h"

namespace wl::test {

// Files in the data folder: one line per start and per end of the test
// server, its module lock count after each change, "ready" once its class
// is registered, and "stop" to make a server that is not an activated one
// end. The folder is found without the PathData singleton, which is empty
// while it is torn down (a server's last lock count is written as it ends):
// the file never lands in the working directory.
inline std::filesystem::path ComServerFile(const char* name) {
  return std::filesystem::path(LocateDataFolder()) / (std::string("com-server-") + name);
}

inline std::wstring ClassKey() { return L"CLSID\\" + platform::GuidText(kTraceLogManagerClsid); }

// Registers the child program as the local server of TraceLogManager and
// its type library (the full registration is the service host's).
inline HRESULT RegisterTestServer() {
  std::wstring server = ProgramPath(L"scribe_test_child");
  HRESULT result = platform::RegisterTypeLibrary(ScribeHostTypeLib(), server);
  if (FAILED(result)) return result;
  return HResultFromWin32(
      SetString(platform::kHKeyClassesRoot, ClassKey() + L"\\LocalServer32", L"", L"\"" + server + L"\" com-server"));
}

inline void UnregisterTestServer() {
  (void)platform::RegistryDeleteKeyTree(platform::kHKeyClassesRoot, ClassKey());
  (void)platform::UnregisterTypeLibrary(ScribeHostTypeLib(), ProgramPath(L"scribe_test_child"));
}

// Invoke of SetLogLevel (DISPID 5) with one VT_UI4 argument.
template <typename Dispatch>
HRESULT InvokeSetLogLevel(Dispatch* object, ULONG level, EXCEPINFO* exception = nullptr) {
  VARIANT argument;
  VariantInit(&argument);
  argument.vt = VT_UI4;
  argument.ulVal = level;
  DISPPARAMS params{&argument, nullptr, 1, 0};
  return object->Invoke(5, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, exception, nullptr);
}

// Joins the multithreaded apartment for a scope.
struct ComApartment {
  ComApartment() : result(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComApartment() {
    if (SUCCEEDED(result)) CoUninitialize();
  }
  HRESULT result;
};

}  // namespace wl::test
