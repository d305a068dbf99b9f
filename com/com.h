// COM with Windows shapes on both systems. The Windows names (IUnknown,
// IDispatch, IClassFactory, ITypeInfo, HRESULT, BSTR, VARIANT, GUID,
// SysAllocString, CoCreateInstance, CoRegisterClassObject, LoadRegTypeLib,
// ...) come from com_system.h: on Windows the system's own declarations, on
// Linux the layer's, with the same method order and 32-bit sizes, backed by
// a local transport over Unix-domain sockets (docs/platform.md).
//
// Besides them, this header has what both systems need in the same words:
// BSTR conversions, GUID text, the description of a type library built into
// the program (which the Linux stand-in's ITypeInfo serves and its proxies
// marshal by), and the few hooks of the Linux transport.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "com_system.h"
#include "platform/types.h"

namespace wl::platform {

// A new BSTR holding the text (UTF-16); null when out of memory.
BSTR BstrFromWide(std::wstring_view text);
// The text of a BSTR by its stored length (embedded nulls kept); a null
// BSTR is empty text.
std::wstring WideFromBstr(BSTR text);
// The same as a view: of the BSTR's own characters where OLECHAR is
// wchar_t (Windows), else of the text converted into scratch.
std::wstring_view ViewOfBstr(BSTR text, std::wstring& scratch);

// Frees its BSTR when it goes.
class OwnedBstr {
 public:
  OwnedBstr() = default;
  explicit OwnedBstr(std::wstring_view text) : text_(BstrFromWide(text)) {}
  ~OwnedBstr() { SysFreeString(text_); }
  OwnedBstr(const OwnedBstr&) = delete;
  OwnedBstr& operator=(const OwnedBstr&) = delete;
  [[nodiscard]] BSTR Get() const { return text_; }
  BSTR* Out() { return &text_; }

 private:
  BSTR text_ = nullptr;
};

// "{A3F0C2D1-5B7E-4C19-9E42-6D81B0F3A7C5}": upper case with braces, as
// StringFromGUID2 writes it.
std::wstring GuidText(const GUID& guid);
// Reads that form (either case); false for anything else.
bool ParseGuid(std::wstring_view text, GUID* guid);

// The QueryInterface of an object that shows one interface pointer, self,
// for IUnknown and for each of iids: S_OK with *object = self and a
// reference added; E_POINTER for a null object; otherwise E_NOINTERFACE
// with *object null.
template <typename Interface>
HRESULT QueryInterfaceOf(Interface* self, REFIID riid, void** object, std::initializer_list<IID> iids) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  bool shown = IsEqualIID(riid, IID_IUnknown);
  for (const IID& iid : iids) shown = shown || IsEqualIID(riid, iid);
  if (!shown) return E_NOINTERFACE;
  self->AddRef();
  *object = self;
  return S_OK;
}

// AddRef and Release of a free-threaded object: a new object has a count
// of 1 (its creator's reference), and the last Release deletes it.
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

// The values of one call, one per parameter, in the parameters' order:
// `number` holds ULONG, USHORT and SHORT arguments (and receives an [out]
// ULONG), `text` a BSTR argument (owned by the caller of the method).
struct CallValue {
  std::uint32_t number = 0;
  BSTR text = nullptr;
};

inline constexpr int kMaxCallParams = 8;

struct ParamDescription {
  const wchar_t* name;
  VARTYPE type;  // VT_UI4, VT_UI2, VT_I2, VT_BSTR; with VT_BYREF for [out]
  bool out;
};

struct MethodDescription {
  const wchar_t* name;
  DISPID dispid;
  short slot;  // vtable slot: 0 is QueryInterface
  const wchar_t* help;
  std::span<const ParamDescription> params;
  // Calls the method on an interface pointer with the values.
  HRESULT (*call)(void* instance, CallValue* values);
};

class ComChannel;
class InterfaceProxy;

struct InterfaceDescription {
  const wchar_t* name;
  GUID iid;
  const wchar_t* help;
  WORD typeFlags;  // TYPEFLAG_FDUAL | ...
  std::span<const MethodDescription> methods;
  // Makes the client-side proxy of the Linux transport; its IUnknown
  // methods go to outer.
  std::unique_ptr<InterfaceProxy> (*makeProxy)(IUnknown* outer, ComChannel& channel);
};

struct ClassDescription {
  const wchar_t* name;
  GUID clsid;
  const wchar_t* help;
  const InterfaceDescription* defaultInterface;
};

struct TypeLibDescription {
  const wchar_t* name;
  GUID libid;
  WORD majorVersion;
  WORD minorVersion;
  LCID lcid;
  WORD libFlags;  // LIBFLAG_FHASDISKIMAGE | ...
  const wchar_t* help;
  std::span<const InterfaceDescription* const> interfaces;
  std::span<const ClassDescription* const> classes;
};

// The method of an interface with that slot or DISPID; null when none.
const MethodDescription* FindMethodBySlot(const InterfaceDescription& description, int slot);
const MethodDescription* FindMethodByDispid(const InterfaceDescription& description, DISPID dispid);

// Makes a type library that is built into the program known to
// LoadRegTypeLib and to the Linux transport's proxies (it must outlive the
// process's use of COM). On Windows the type library is a resource of the
// server found through the registry, and this does nothing.
void AddBuiltInTypeLibrary(const TypeLibDescription& description);

// Registers the type library of the server module modulePath: the
// TypeLib\{LIBID}\<version> and Interface\{IID} keys that Windows writes,
// under HKEY_CLASSES_ROOT, or in per-user mode under the calling user's
// HKCU\Software\Classes. On Windows the library is loaded from the
// module's first TYPELIB resource, else from the file beside it with the
// module's name and the extension ".tlb"; it must have the description's
// LIBID and is registered by RegisterTypeLib (per user by
// RegisterTypeLibForUser when oleaut32 has it) with the path it was loaded
// from. On Linux the description itself is registered with the module's
// path.
HRESULT RegisterTypeLibrary(const TypeLibDescription& description, std::wstring_view modulePath, bool perUser = false);
// Removes that registration: on Windows UnRegisterTypeLib (or its per-user
// form) with the identity, version, locale and target read from the
// library loaded as above. S_OK also when nothing was registered.
HRESULT UnregisterTypeLibrary(const TypeLibDescription& description, std::wstring_view modulePath,
                              bool perUser = false);

// The client side of one connection of the Linux transport: a proxy calls
// the server's object through it. Any thread may call; calls are answered
// in the order they were sent. Not used on Windows.
class ComChannel {
 public:
  virtual ~ComChannel() = default;
  // One synchronous call: sends the [in] values, waits for the reply and
  // stores the [out] values. Returns the method's HRESULT, or
  // RPC_E_DISCONNECTED when the connection is gone.
  virtual HRESULT Call(const InterfaceDescription& face, const MethodDescription& method, CallValue* values) = 0;
  // Pipelined calls: Send queues a call without waiting for its reply (the
  // queue goes out in few writes, at the latest when Receive or Call runs or
  // a batch is full); Receive waits for the HRESULTs of the oldest calls
  // sent this way, one per call in order. [out] values of sent calls are
  // dropped. RPC_E_DISCONNECTED when the connection is gone (then every
  // result still owed is RPC_E_DISCONNECTED too).
  virtual HRESULT Send(const InterfaceDescription& face, const MethodDescription& method, const CallValue* values) = 0;
  virtual HRESULT Receive(std::span<HRESULT> results) = 0;
  // How many sent calls have not been received yet.
  [[nodiscard]] virtual std::size_t Outstanding() const = 0;
};

// A proxy of one interface, made by InterfaceDescription::makeProxy and
// owned by the object proxy of its connection.
class InterfaceProxy {
 public:
  virtual ~InterfaceProxy() = default;
  virtual IUnknown* Interface() = 0;
};

// What the Linux transport asks when a class to activate names a service
// (its AppID's LocalService): start that service. Returns a Win32 code: 0
// when it started it, 1056 (ERROR_SERVICE_ALREADY_RUNNING) when it runs
// already; the transport then waits for the class's socket as for a started
// server, and while a service that ran already does not answer, asks again,
// so that one that has stopped or died meanwhile is started anew. The
// default starter starts the installed service through the service control
// stand-in (StartInstalledService of service_control/service_run.h). Not used on
// Windows, where the COM runtime starts services itself.
class ServiceStarter {
 public:
  virtual ~ServiceStarter() = default;
  virtual Win32Error StartServiceByName(std::wstring_view serviceName) = 0;
};
// Installs the starter (null restores the default); it must outlive its use.
void SetServiceStarter(ServiceStarter* starter);

// How long a client of the Linux transport waits, in milliseconds: for a
// connection that the class's socket does not take (its server's queue of
// new connections is full), for any sign of progress in a call (a reply, or
// the socket taking more of the call; a call that makes none fails with
// RPC_E_TIMEOUT and closes its connection), and for a whole activation (the
// turn on the activation lock, starting the server and waiting for its
// socket; CO_E_SERVER_EXEC_FAILURE). Set for the process; a connection
// keeps the values it was made with. Not used on Windows.
struct ComTimeouts {
  std::uint32_t connectMilliseconds = 5000;
  std::uint32_t callMilliseconds = 30000;
  std::uint32_t activationMilliseconds = 30000;
};
// Replaces the time-outs (tests use short ones); the defaults above apply
// until then.
void SetComTimeouts(const ComTimeouts& timeouts);

// What a server of the Linux transport holds for its clients at most: the
// bytes of frames that have not fully arrived and of replies that a client
// has not taken, over all connections (past it, the connection holding the
// most is closed); the connections in all, and those of one user other than
// SYSTEM (past either, a new connection is closed at once). 0 for a count
// takes it from the descriptor limit (RLIMIT_NOFILE): all but 64 of the
// descriptors (for the log files and the rest of the process), and one
// eighth of that per user. Each refusal is counted and reported. Applies to
// the listeners started after the call. Not used on Windows.
struct ComServerLimits {
  std::size_t heldBytes = 64u << 20;
  std::size_t connections = 0;
  std::size_t connectionsPerUser = 0;
};
void SetComServerLimits(const ComServerLimits& limits);

// Who made the call that the calling thread serves, as far as a method needs
// to know: whether the caller is SYSTEM (Linux: uid 0 or the owner of the
// machine root; Windows: the local system account or an elevated member of
// Administrators), its account (a SID string) and its process (0 when
// unknown). Linux takes the credentials of the transport's connection,
// taken by the system when the client connected; Windows impersonates the
// client (CoImpersonateClient). A call that did not come from another
// process (the server's own threads) is the process's own. Any thread.
struct ComCaller {
  bool system = false;
  std::wstring account;
  std::uint32_t processId = 0;
};
ComCaller GetComCaller();

// What the Linux transport reports about its connections: a refused frame
// (an error) and each client's credentials (debug). The default sink writes
// errors to the debug output; the service host sends both to its
// diagnostic lines. Not used on Windows.
enum class ComReport { kError, kDebug };
using ComReportSink = void (*)(ComReport kind, std::wstring_view text);
void SetComReportSink(ComReportSink sink);

}  // namespace wl::platform
