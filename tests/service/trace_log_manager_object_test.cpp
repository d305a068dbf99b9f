#include "service/trace_log_manager_object.h"

#include <gtest/gtest.h>

#include <cstring>

#include "logclient/trace_log_manager_type.h"
#include "tests/support/com_test_support.h"
#include "tests/support/service_fixture.h"

namespace wl {
namespace {

class CountingLock final : public ModuleLock {
 public:
  long Lock() override { return ++count; }
  long Unlock() override { return --count; }
  [[nodiscard]] long GetLockCount() const override { return count; }
  std::atomic<long> count{0};
};

class TraceLogManagerObjectTest : public test::ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    factory_ = TraceLogManagerFactory::Create(lock_);
  }
  void TearDown() override {
    if (factory_ != nullptr) factory_->Release();
    test::UnregisterTestServer();
    ServiceFixture::TearDown();
  }

  ITraceLogManager* Create() {
    ITraceLogManager* manager = nullptr;
    EXPECT_EQ(factory_->CreateInstance(nullptr, IID_ITraceLogManager, reinterpret_cast<void**>(&manager)), S_OK);
    return manager;
  }

  static HRESULT Names(ITraceLogManager* manager, const wchar_t* name, DISPID* id) {
    platform::OwnedBstr text(name);
    LPOLESTR names[] = {text.Get()};
    return manager->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
  }

  CountingLock lock_;
  TraceLogManagerFactory* factory_ = nullptr;
};

TEST_F(TraceLogManagerObjectTest, IdentityAndReferencesTakeTheModuleLockOnlyForClients) {
  void* none = &none;
  EXPECT_EQ(factory_->CreateInstance(nullptr, IID_ITraceLogManager, nullptr), E_POINTER);
  EXPECT_EQ(factory_->CreateInstance(reinterpret_cast<IUnknown*>(factory_), IID_ITraceLogManager, &none),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(factory_->Object(), nullptr);
  // An unknown interface fails, and the object made for it stays.
  EXPECT_EQ(factory_->CreateInstance(nullptr, IID_IClassFactory, &none), E_NOINTERFACE);
  TraceLogManagerObject* object = factory_->Object();
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(lock_.count, 0);

  ITraceLogManager* manager = Create();
  EXPECT_EQ(factory_->Object(), object);
  EXPECT_EQ(lock_.count, 1);
  void* unknown = nullptr;
  void* dispatch = nullptr;
  EXPECT_EQ(manager->QueryInterface(IID_IUnknown, &unknown), S_OK);
  EXPECT_EQ(manager->QueryInterface(IID_IDispatch, &dispatch), S_OK);
  EXPECT_EQ(unknown, static_cast<void*>(manager));
  EXPECT_EQ(dispatch, static_cast<void*>(manager));
  void* other = &other;
  EXPECT_EQ(manager->QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(manager->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(lock_.count, 1);
  EXPECT_EQ(manager->AddRef(), 5u);
  EXPECT_EQ(manager->Release(), 4u);
  manager->Release();
  static_cast<IUnknown*>(unknown)->Release();
  EXPECT_EQ(static_cast<IUnknown*>(dispatch)->Release(), 1u);
  EXPECT_EQ(lock_.count, 0);

  EXPECT_EQ(factory_->LockServer(TRUE), S_OK);
  EXPECT_EQ(lock_.count, 1);
  EXPECT_EQ(factory_->LockServer(FALSE), S_OK);
  EXPECT_EQ(lock_.count, 0);

  // The factory shows one pointer, as IUnknown and IClassFactory, each
  // with a reference of its own.
  void* factoryUnknown = nullptr;
  void* classFactory = nullptr;
  EXPECT_EQ(factory_->QueryInterface(IID_IUnknown, &factoryUnknown), S_OK);
  EXPECT_EQ(factory_->QueryInterface(IID_IClassFactory, &classFactory), S_OK);
  EXPECT_EQ(factoryUnknown, static_cast<void*>(static_cast<IClassFactory*>(factory_)));
  EXPECT_EQ(classFactory, factoryUnknown);
  other = &other;
  EXPECT_EQ(factory_->QueryInterface(IID_ITraceLogManager, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(factory_->QueryInterface(IID_IClassFactory, nullptr), E_POINTER);
  EXPECT_EQ(static_cast<IUnknown*>(factoryUnknown)->Release(), 2u);
  EXPECT_EQ(static_cast<IUnknown*>(classFactory)->Release(), 1u);
  EXPECT_EQ(factory_->Object(), object);
}

TEST_F(TraceLogManagerObjectTest, MethodsPassOnToTheCore) {
  ITraceLogManager* manager = Create();
  platform::OwnedBstr text(std::wstring(L"kept") + L'\0' + L"nul");
  EXPECT_EQ(manager->Initialize(), S_OK);
  EXPECT_EQ(manager->Close(), S_OK);
  EXPECT_EQ(manager->LogMessage(0x10002, 1, text.Get(), 0), S_OK);
  EXPECT_EQ(manager->LogMessage(2, 0x10001, text.Get(), 1), S_OK);
  EXPECT_EQ(manager->LogMessage(37, 1, text.Get(), 0), E_INVALIDARG);
  EXPECT_EQ(manager->LogMsg(21, 7, text.Get()), E_INVALIDARG);
  EXPECT_EQ(manager->LogMsg(21, 1, nullptr), S_OK);
  EXPECT_EQ(manager->SetLogLevel(0x10003), S_OK);
  ULONG level = 0;
  EXPECT_EQ(manager->GetLogLevel(&level), S_OK);
  EXPECT_EQ(level, 3u);
  EXPECT_EQ(manager->SetComponentLogLevel(0x10015, 5), S_OK);
  EXPECT_EQ(manager->GetComponentLogLevel(21, &level), S_OK);
  EXPECT_EQ(level, 5u);
  EXPECT_EQ(manager->GetLogLevel(nullptr), E_INVALIDARG);
  EXPECT_EQ(manager->GetComponentLogLevel(37, &level), E_INVALIDARG);
  factory_->Object()->Core().WaitUntilWritten();
  EXPECT_EQ(ReadLog("Wayline.log").substr(3, 15) + ReadLog("Lookout.log").substr(3, 15),
            "Gantry      +C Lookout     +C ");
  EXPECT_EQ(CountOf(ReadLog("Wayline.log"), std::string("kept\0nul\r\n", 10)), 2u);
  EXPECT_EQ(manager->ResetLogs(), S_OK);
  EXPECT_FALSE(Exists("Wayline.log"));
  // Every client reference gone: the object, its levels and its writer stay.
  manager->Release();
  manager = Create();
  EXPECT_EQ(manager->GetComponentLogLevel(21, &level), S_OK);
  EXPECT_EQ(level, 5u);
  EXPECT_EQ(manager->LogMsg(21, 1, text.Get()), S_OK);
  factory_->Object()->Core().WaitUntilWritten();
  EXPECT_TRUE(Exists("Lookout.log"));
  manager->Release();
}

TEST_F(TraceLogManagerObjectTest, DispatchLoadsTheTypeLibraryOnceItIsRegistered) {
  ITraceLogManager* manager = Create();
  UINT count = 0;
  EXPECT_EQ(manager->GetTypeInfoCount(nullptr), E_POINTER);
  EXPECT_EQ(manager->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ITypeInfo* info = nullptr;
  EXPECT_EQ(manager->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
  EXPECT_EQ(manager->GetTypeInfo(0, 0, nullptr), E_POINTER);
  // The index is checked before the pointer.
  EXPECT_EQ(manager->GetTypeInfo(5, 0, nullptr), DISP_E_BADINDEX);
  // The cache of the process may hold the library from an earlier test of
  // the same process (ctest runs each test in a process of its own); a
  // process that has not loaded it gets the failure and tries again later.
  DISPID id = 0;
  if (HRESULT before = Names(manager, L"LogMsg", &id); FAILED(before)) {
    EXPECT_EQ(before, TYPE_E_LIBNOTREGISTERED);
  }
  ASSERT_EQ(test::RegisterTestServer(), S_OK);
  EXPECT_EQ(Names(manager, L"LogMsg", &id), S_OK);
  EXPECT_EQ(id, 9);
  EXPECT_EQ(Names(manager, L"ResetLogs", &id), S_OK);
  EXPECT_EQ(id, 8);
  // The cache compares exactly; the type information ignores case.
  EXPECT_EQ(Names(manager, L"resetlogs", &id), S_OK);
  EXPECT_EQ(id, 8);
  EXPECT_EQ(Names(manager, L"NoSuchMember", &id), DISP_E_UNKNOWNNAME);

  EXPECT_EQ(test::InvokeSetLogLevel(manager, 5), S_OK);
  ULONG level = 0;
  manager->GetLogLevel(&level);
  EXPECT_EQ(level, 5u);
  EXCEPINFO exception{};
  EXPECT_EQ(test::InvokeSetLogLevel(manager, 7, &exception), DISP_E_EXCEPTION);
  EXPECT_EQ(exception.scode, E_INVALIDARG);
  VARIANT argument;
  VariantInit(&argument);
  DISPPARAMS params{&argument, nullptr, 1, 0};
  ULONG out = 0;
  argument.vt = VT_UI4 | VT_BYREF;
  argument.pulVal = &out;
  EXPECT_EQ(manager->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(out, 5u);
  params.cArgs = 0;
  EXPECT_EQ(manager->Invoke(5, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), DISP_E_BADPARAMCOUNT);
  manager->Release();
}

// The type library built from the IDL (on Windows) or compiled in (on
// Linux) against the table: every member with its DISPID, vtable offset,
// parameter types and help string.
TEST_F(TraceLogManagerObjectTest, RegisteredTypeLibraryMatchesTheTable) {
  ASSERT_EQ(test::RegisterTestServer(), S_OK);
  ITypeLib* library = nullptr;
  ASSERT_EQ(LoadRegTypeLib(kScribeHostLibId, 9, 2, kScribeHostLibLocale, &library), S_OK);
  BSTR name = nullptr;
  BSTR help = nullptr;
  ASSERT_EQ(library->GetDocumentation(-1, &name, &help, nullptr, nullptr), S_OK);
  EXPECT_EQ(platform::WideFromBstr(name), L"ScribeHostLib");
  EXPECT_EQ(platform::WideFromBstr(help), L"ScribeHost 9.2 Type Library");
  SysFreeString(name);
  SysFreeString(help);
  ITypeInfo* info = nullptr;
  ASSERT_EQ(library->GetTypeInfoOfGuid(IID_ITraceLogManager, &info), S_OK);
  library->Release();
  TYPEATTR* attributes = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
  EXPECT_TRUE(IsEqualGUID(attributes->guid, kTraceLogManagerIid));
  EXPECT_NE(attributes->wTypeFlags & TYPEFLAG_FDUAL, 0);
  int matched = 0;
  for (UINT index = 0; index < attributes->cFuncs; ++index) {
    FUNCDESC* function = nullptr;
    ASSERT_EQ(info->GetFuncDesc(index, &function), S_OK);
    const platform::MethodDescription* method =
        platform::FindMethodByDispid(TraceLogManagerInterface(), function->memid);
    if (method != nullptr) {
      ++matched;
      ASSERT_EQ(info->GetDocumentation(function->memid, &name, &help, nullptr, nullptr), S_OK);
      EXPECT_EQ(platform::WideFromBstr(name), method->name);
      EXPECT_EQ(platform::WideFromBstr(help), method->help) << method->name;
      SysFreeString(name);
      SysFreeString(help);
      EXPECT_EQ(function->oVft, method->slot * static_cast<int>(sizeof(void*))) << method->name;
      ASSERT_EQ(function->cParams, static_cast<SHORT>(method->params.size())) << method->name;
      EXPECT_EQ(function->cParamsOpt, 0);
      for (std::size_t p = 0; p < method->params.size(); ++p) {
        const TYPEDESC& type = function->lprgelemdescParam[p].tdesc;
        VARTYPE vt = type.vt == VT_PTR ? static_cast<VARTYPE>(type.lptdesc->vt | VT_BYREF) : type.vt;
        EXPECT_EQ(vt, method->params[p].type) << method->name << " " << p;
      }
      constexpr UINT kMaxNames = 8;
      BSTR names[kMaxNames];
      UINT count = 0;
      ASSERT_EQ(info->GetNames(function->memid, names, kMaxNames, &count), S_OK);
      ASSERT_EQ(count, 1 + method->params.size());
      for (UINT n = 0; n < count; ++n) {
        if (n > 0) {
          EXPECT_EQ(platform::WideFromBstr(names[n]), method->params[n - 1].name);
        }
        SysFreeString(names[n]);
      }
    }
    info->ReleaseFuncDesc(function);
  }
  EXPECT_EQ(matched, static_cast<int>(TraceLogManagerInterface().methods.size()));
  info->ReleaseTypeAttr(attributes);
  info->Release();
}

// The C++ interface of each build against the table: the vtable slot of
// each method, read from its member pointer (both builds use the Itanium
// C++ ABI, where a virtual member pointer holds its vtable offset plus 1).
TEST(TraceLogManagerInterface, MethodsSitInTheSlotsOfTheTable) {
  auto slotOf = [](auto member) {
    std::uintptr_t value = 0;
    std::memcpy(&value, &member, sizeof(value));
    return static_cast<int>((value - 1) / sizeof(void*));
  };
  const int slots[] = {slotOf(&ITraceLogManager::Initialize),
                       slotOf(&ITraceLogManager::Close),
                       slotOf(&ITraceLogManager::LogMessage),
                       slotOf(&ITraceLogManager::GetLogLevel),
                       slotOf(&ITraceLogManager::SetLogLevel),
                       slotOf(&ITraceLogManager::SetComponentLogLevel),
                       slotOf(&ITraceLogManager::GetComponentLogLevel),
                       slotOf(&ITraceLogManager::ResetLogs),
                       slotOf(&ITraceLogManager::LogMsg)};
  const auto& methods = TraceLogManagerInterface().methods;
  ASSERT_EQ(methods.size(), std::size(slots));
  for (std::size_t i = 0; i < methods.size(); ++i) EXPECT_EQ(methods[i].slot, slots[i]) << methods[i].name;
  EXPECT_EQ(slotOf(&IDispatch::Invoke), 6);
  EXPECT_TRUE(IsEqualGUID(IID_ITraceLogManager, kTraceLogManagerIid));
  EXPECT_TRUE(IsEqualGUID(CLSID_TraceLogManager, kTraceLogManagerClsid));
  EXPECT_TRUE(IsEqualGUID(LIBID_ScribeHostLib, kScribeHostLibId));
}

}  // namespace
}  // namespace wl
