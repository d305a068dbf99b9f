// What the files of the Linux COM stand-in share among themselves.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com.h"

namespace wl::platform::posix {

// The free-threaded reference count of the stand-in's objects: a new object
// has a count of 1, the last Release deletes it.
template <typename Interface>
class RefCounted : public Interface {
 public:
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --count_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~RefCounted() = default;

 private:
  std::atomic<ULONG> count_{1};
};

// The built-in type library with that LIBID, or the interface with that IID
// in any of them; null when none was added.
const TypeLibDescription* FindBuiltInLibrary(const GUID& libid);
const InterfaceDescription* FindBuiltInInterface(const IID& iid);
// Every dual interface of the built-in type libraries.
std::vector<const InterfaceDescription*> BuiltInDualInterfaces();

// Sends a report to the installed sink.
void ReportCom(ComReport kind, std::wstring_view text);

// HKEY_CLASSES_ROOT\CLSID\{clsid} value reads for activation: the
// LocalServer32 command line and the AppID's LocalService. S_OK with the
// text; REGDB_E_CLASSNOTREG when absent; CO_E_SERVER_EXEC_FAILURE, with a
// report of why, when the value came from a hive that the process does not
// trust (see registry_origin.h) or the program (LocalServer32's first word)
// is not one it may start (checked_open.h's ProgramRefusal).
HRESULT ClassLocalServer(const CLSID& clsid, std::wstring* commandLine);
HRESULT ClassLocalService(const CLSID& clsid, std::wstring* serviceName);

// The socket path of a class: <root>/run/com/{CLSID}.sock.
std::string ClassSocketPath(const CLSID& clsid);
std::string ComRunFolder();

// The in-process class object registered for the class, with a reference
// added; null when none is registered.
IUnknown* FindLocalClassObject(const CLSID& clsid);

// Connects to the class's server (activating it from the registration
// when nothing listens) and asks it for the interface; the proxy's
// reference into *object.
HRESULT CreateRemoteInstance(const CLSID& clsid, REFIID iid, void** object);

// Looks for bytes to read on the socket for a few tens of microseconds,
// without sleeping; true when some came. A peer that streams calls or
// replies sends its next part that soon, and on a busy connection looking
// is cheaper than sleeping and being woken.
bool AwaitReadable(int fd);

// Splits a command line as the Windows runtime does: blanks separate
// arguments, double quotes group them, a backslash before a quote escapes
// it. Used to start a server's or a service's command line.
std::vector<std::string> SplitCommandLine(const std::string& line);

}  // namespace wl::platform::posix
