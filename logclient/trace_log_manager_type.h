// The type description of ScribeHostLib compiled into the program: one table
// of the members of ITraceLogManager (name, DISPID, slot, parameter names
// and automation types, help strings) that follows ScribeHost.idl. The Linux
// stand-in's ITypeInfo serves it and its transport marshals by it; the
// Windows suite compares it with the type library widl builds.
//
// Also the type information cache that the object and its proxy share:
// loaded once from the registered type library, retried after a failure.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "com/com.h"

namespace wl {

inline constexpr GUID kScribeHostLibId{0x5E2B9A47, 0xC0D3, 0x4F8A, {0xB1, 0x67, 0x2A, 0x9C, 0x4E, 0x7D, 0x1F, 0x30}};
inline constexpr GUID kTraceLogManagerClsid{
    0xA3F0C2D1, 0x5B7E, 0x4C19, {0x9E, 0x42, 0x6D, 0x81, 0xB0, 0xF3, 0xA7, 0xC5}};
inline constexpr GUID kTraceLogManagerIid{0x6B1F3E90, 0x2D4A, 0x4C7B, {0x8E, 0x15, 0xF0, 0xA9, 0xC3, 0xD2, 0xB4, 0x81}};
// The service's AppID (its registration is the host's).
inline constexpr GUID kScribeHostAppId{0xD91C4E72, 0x8A35, 0x4B06, {0xA7, 0xF9, 0x3E, 0x5C, 0x20, 0xB1, 0x8D, 0x64}};
inline constexpr WORD kScribeHostLibMajor = 9;
inline constexpr WORD kScribeHostLibMinor = 2;
inline constexpr LCID kScribeHostLibLocale = 0x409;

const platform::TypeLibDescription& ScribeHostTypeLib();
const platform::InterfaceDescription& TraceLogManagerInterface();

// The type information of ITraceLogManager for the whole process, loaded on
// first need under its own lock and then kept; a failed load is returned
// and tried again at the next call. Any thread may call.
class TraceLogManagerTypeInfo {
 public:
  static TraceLogManagerTypeInfo& Instance();

  // The type information, without an added reference, or the failure of
  // loading the registered type library.
  HRESULT Get(LCID lcid, ITypeInfo** info);
  // IDispatch::GetTypeInfo of the object and of its proxy: DISP_E_BADINDEX
  // for an index other than 0 (checked first), E_POINTER for a null result
  // pointer, else the type information with an added reference.
  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info);
  // GetIDsOfNames with the name cache for a single name (case-sensitive,
  // exact length, searched from the last member), else the type
  // information's own.
  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, LCID lcid, DISPID* ids);

 private:
  struct CachedName {
    std::u16string name;
    std::size_t length;
    DISPID dispid;
  };

  std::mutex lock_;
  ITypeInfo* info_ = nullptr;
  std::vector<CachedName> names_;
};

}  // namespace wl
