// What the files of the Linux COM stand-in share among themselves.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "com/com.h"

namespace wl::platform::posix {

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

// Where the class sockets are. The machine's: <root>/run/com, made by SYSTEM
// and written by nobody else, holding the sockets of servers that run as
// SYSTEM (the service). A user's own: run/com in the user's own state
// (UserStateRoot), made by the user with no access for others, holding
// the sockets of the servers that user runs (a per-user local server). A
// server listens, and a client that starts a server waits, in the folder of
// the process's own user: the machine's for SYSTEM (uid 0 or the root's
// owner), the user's own otherwise.
struct ComFolder {
  std::string path;
  bool machine = true;
};
ComFolder MachineComFolder();
ComFolder UserComFolder();
ComFolder OwnComFolder();
// The class's socket and activation lock in a folder: {CLSID}.sock,
// {CLSID}.lock.
std::string ClassSocketPath(const ComFolder& folder, const CLSID& clsid);
std::string ClassLockPath(const ComFolder& folder, const CLSID& clsid);
// Makes the folder when missing, as its kind wants it (the machine's: mode
// 0755, only by SYSTEM; the user's own: 0700, its state folder 0700 when
// made here), and checks what is there: a folder, not a link, owned by
// SYSTEM (the machine's) or this user (the user's own), writable by no one
// else. 0 or the errno, with the reason for a report.
int PrepareComFolder(const ComFolder& folder, std::wstring* reason);

// The time-outs and server limits in force (SetComTimeouts,
// SetComServerLimits).
ComTimeouts CurrentComTimeouts();
ComServerLimits CurrentComServerLimits();

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

}  // namespace wl::platform::posix
