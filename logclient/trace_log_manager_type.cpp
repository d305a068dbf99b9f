#include "logclient/trace_log_manager_type.h"

#include <cstring>

#include "ScribeHost.h"
#include "logclient/trace_log_manager_proxy.h"

namespace wl {
namespace {

using platform::CallValue;
using platform::ClassDescription;
using platform::InterfaceDescription;
using platform::MethodDescription;
using platform::ParamDescription;
using platform::TypeLibDescription;

ITraceLogManager* Face(void* instance) { return static_cast<ITraceLogManager*>(instance); }

constexpr ParamDescription kLogMessageParams[] = {
    {L"ulSource", VT_UI4, false}, {L"ulLevel", VT_UI4, false}, {L"bsMsg", VT_BSTR, false}, {L"bFlush", VT_I2, false}};
constexpr ParamDescription kGetLogLevelParams[] = {{L"pLevel", VT_UI4 | VT_BYREF, true}};
constexpr ParamDescription kSetLogLevelParams[] = {{L"ulLevel", VT_UI4, false}};
constexpr ParamDescription kSetComponentLogLevelParams[] = {{L"ulComponent", VT_UI4, false},
                                                            {L"ulLogLevel", VT_UI4, false}};
constexpr ParamDescription kGetComponentLogLevelParams[] = {{L"ulComponent", VT_UI4, false},
                                                            {L"pulLogLevel", VT_UI4 | VT_BYREF, true}};
constexpr ParamDescription kLogMsgParams[] = {
    {L"uSource", VT_UI2, false}, {L"uLevel", VT_UI2, false}, {L"bsMsg", VT_BSTR, false}};

constexpr MethodDescription kMethods[] = {
    {L"Initialize", 1, 7, L"method Initialize", {}, [](void* o, CallValue*) { return Face(o)->Initialize(); }},
    {L"Close", 2, 8, L"method Close", {}, [](void* o, CallValue*) { return Face(o)->Close(); }},
    {L"LogMessage", 3, 9, L"method LogMessage", kLogMessageParams,
     [](void* o, CallValue* v) {
       return Face(o)->LogMessage(v[0].number, v[1].number, v[2].text, static_cast<SHORT>(v[3].number));
     }},
    {L"GetLogLevel", 4, 10, L"method GetLogLevel", kGetLogLevelParams,
     [](void* o, CallValue* v) {
       ULONG level = 0;
       HRESULT result = Face(o)->GetLogLevel(&level);
       v[0].number = level;
       return result;
     }},
    {L"SetLogLevel", 5, 11, L"method SetLogLevel", kSetLogLevelParams,
     [](void* o, CallValue* v) { return Face(o)->SetLogLevel(v[0].number); }},
    {L"SetComponentLogLevel", 6, 12, L"method SetComponentLogLevel", kSetComponentLogLevelParams,
     [](void* o, CallValue* v) { return Face(o)->SetComponentLogLevel(v[0].number, v[1].number); }},
    {L"GetComponentLogLevel", 7, 13, L"GetComponentLogLevel", kGetComponentLogLevelParams,
     [](void* o, CallValue* v) {
       ULONG level = 0;
       HRESULT result = Face(o)->GetComponentLogLevel(v[0].number, &level);
       v[1].number = level;
       return result;
     }},
    {L"ResetLogs", 8, 14, L"ResetLogs", {}, [](void* o, CallValue*) { return Face(o)->ResetLogs(); }},
    {L"LogMsg", 9, 15, L"LogMsg", kLogMsgParams,
     [](void* o, CallValue* v) {
       return Face(o)->LogMsg(static_cast<USHORT>(v[0].number), static_cast<USHORT>(v[1].number), v[2].text);
     }},
};

constexpr InterfaceDescription kInterface{
    L"ITraceLogManager",
    kTraceLogManagerIid,
    L"ITraceLogManager Interface",
    TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE,
    kMethods,
    &MakeTraceLogManagerProxy};
constexpr const InterfaceDescription* kInterfaces[] = {&kInterface};
constexpr ClassDescription kClass{L"TraceLogManager", kTraceLogManagerClsid, L"TraceLogManager Class", &kInterface};
constexpr const ClassDescription* kClasses[] = {&kClass};
constexpr TypeLibDescription kLibrary{L"ScribeHostLib",
                                      kScribeHostLibId,
                                      kScribeHostLibMajor,
                                      kScribeHostLibMinor,
                                      kScribeHostLibLocale,
                                      LIBFLAG_FHASDISKIMAGE,
                                      L"ScribeHost 9.2 Type Library",
                                      kInterfaces,
                                      kClasses};

}  // namespace

const TypeLibDescription& ScribeHostTypeLib() { return kLibrary; }

const InterfaceDescription& TraceLogManagerInterface() { return kInterface; }

TraceLogManagerTypeInfo& TraceLogManagerTypeInfo::Instance() {
  static TraceLogManagerTypeInfo instance;
  return instance;
}

HRESULT TraceLogManagerTypeInfo::Get(LCID lcid, ITypeInfo** info) {
  std::lock_guard lock(lock_);
  if (info_ == nullptr) {
    platform::AddBuiltInTypeLibrary(kLibrary);
    ITypeLib* library = nullptr;
    HRESULT result = LoadRegTypeLib(kScribeHostLibId, kScribeHostLibMajor, kScribeHostLibMinor, lcid, &library);
    // The library is registered for its own locale only.
    if (FAILED(result) && lcid != kScribeHostLibLocale) {
      result =
          LoadRegTypeLib(kScribeHostLibId, kScribeHostLibMajor, kScribeHostLibMinor, kScribeHostLibLocale, &library);
    }
    if (FAILED(result)) return result;
    ITypeInfo* typeInfo = nullptr;
    result = library->GetTypeInfoOfGuid(kTraceLogManagerIid, &typeInfo);
    library->Release();
    if (FAILED(result)) return result;
    // The extended form when the system has it.
    ITypeInfo* extended = nullptr;
    if (SUCCEEDED(typeInfo->QueryInterface(IID_ITypeInfo2, reinterpret_cast<void**>(&extended)))) {
      typeInfo->Release();
      typeInfo = extended;
    }
    std::vector<CachedName> names;
    TYPEATTR* attributes = nullptr;
    if (SUCCEEDED(typeInfo->GetTypeAttr(&attributes))) {
      for (UINT index = 0; index < attributes->cFuncs; ++index) {
        FUNCDESC* function = nullptr;
        if (FAILED(typeInfo->GetFuncDesc(index, &function))) continue;
        BSTR name = nullptr;
        if (SUCCEEDED(typeInfo->GetDocumentation(function->memid, &name, nullptr, nullptr, nullptr))) {
          std::u16string text(reinterpret_cast<const char16_t*>(name), SysStringLen(name));
          names.push_back({text, text.size(), function->memid});
          SysFreeString(name);
        }
        typeInfo->ReleaseFuncDesc(function);
      }
      typeInfo->ReleaseTypeAttr(attributes);
    }
    names_ = std::move(names);
    info_ = typeInfo;
  }
  *info = info_;
  return S_OK;
}

HRESULT TraceLogManagerTypeInfo::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) {
  if (info != nullptr) *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  if (info == nullptr) return E_POINTER;
  HRESULT result = Get(lcid, info);
  if (SUCCEEDED(result)) (*info)->AddRef();
  return result;
}

HRESULT TraceLogManagerTypeInfo::GetIDsOfNames(LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) {
  ITypeInfo* info = nullptr;
  if (HRESULT result = Get(lcid, &info); FAILED(result)) return result;
  if (count == 1 && names != nullptr && names[0] != nullptr && ids != nullptr) {
    std::size_t length = 0;
    while (names[0][length] != 0) ++length;
    const auto* name = reinterpret_cast<const char16_t*>(names[0]);
    // The cache does not change once loaded.
    for (auto entry = names_.rbegin(); entry != names_.rend(); ++entry) {
      if (entry->length == length && std::memcmp(entry->name.data(), name, length * sizeof(char16_t)) == 0) {
        ids[0] = entry->dispid;
        return S_OK;
      }
    }
  }
  return info->GetIDsOfNames(names, count, ids);
}

}  // namespace wl
