// Type libraries on Linux: descriptions built into the program, registered
// under the TypeLib and Interface keys that Windows uses, and served through
// ITypeLib and ITypeInfo as far as the product needs them (describing the
// functions, names to DISPIDs, and Invoke).
#include <atomic>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <vector>

#include "com/com.h"
#include "com/posix/type_info.h"
#include "platform/text.h"
#include "registry/registry.h"

namespace wl::platform {
namespace {

std::mutex& LibrariesLock() {
  static std::mutex lock;
  return lock;
}
std::vector<const TypeLibDescription*>& Libraries() {
  static std::vector<const TypeLibDescription*> libraries;
  return libraries;
}

// The typelib marshaler's class, which Windows writes as every automation
// interface's proxy-stub class.
constexpr const wchar_t* kAutomationMarshaler = L"{00020424-0000-0000-C000-000000000046}";

std::wstring VersionText(WORD major, WORD minor) {
  std::wstring text;
  AppendHex(text, major);
  text += L'.';
  AppendHex(text, minor);
  return text;
}

BSTR Bstr(const wchar_t* text) { return BstrFromWide(text == nullptr ? L"" : text); }

bool SameName(LPOLESTR name, const wchar_t* candidate) {
  std::size_t length = 0;
  while (name[length] != 0) ++length;
  std::wstring wide = WideFromUtf16(std::u16string_view(name, length));
  std::wstring_view other(candidate);
  if (wide.size() != other.size()) return false;
  for (std::size_t i = 0; i < wide.size(); ++i) {
    wchar_t a = wide[i], b = other[i];
    if (a >= L'a' && a <= L'z') a = static_cast<wchar_t>(a - 32);
    if (b >= L'a' && b <= L'z') b = static_cast<wchar_t>(b - 32);
    if (a != b) return false;
  }
  return true;
}

// A function description with the parameter descriptions it points at, in
// one allocation.
struct FuncDescBlock {
  FUNCDESC desc;
  ELEMDESC params[kMaxCallParams];
  TYPEDESC pointed[kMaxCallParams];
};

class BuiltInTypeLib;

class BuiltInTypeInfo final : public RefCounted<ITypeInfo> {
 public:
  BuiltInTypeInfo(const TypeLibDescription& library, const InterfaceDescription& face, UINT index)
      : library_(library), face_(face), index_(index) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return QueryInterfaceOf<ITypeInfo>(this, riid, object, {IID_ITypeInfo});
  }

  HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** attributes) override {
    if (attributes == nullptr) return E_INVALIDARG;
    auto* attr = new TYPEATTR{};
    attr->guid = face_.iid;
    attr->lcid = library_.lcid;
    attr->memidConstructor = -1;
    attr->memidDestructor = -1;
    attr->cbSizeInstance = sizeof(void*);
    attr->typekind = TKIND_INTERFACE;
    attr->cFuncs = static_cast<WORD>(face_.methods.size());
    attr->cImplTypes = 1;
    attr->cbSizeVft = static_cast<WORD>((7 + face_.methods.size()) * sizeof(void*));
    attr->cbAlignment = sizeof(void*);
    attr->wTypeFlags = face_.typeFlags;
    attr->wMajorVerNum = library_.majorVersion;
    attr->wMinorVerNum = library_.minorVersion;
    *attributes = attr;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR* attributes) override { delete attributes; }

  HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC** result) override {
    if (result == nullptr) return E_INVALIDARG;
    if (index >= face_.methods.size()) return TYPE_E_ELEMENTNOTFOUND;
    const MethodDescription& method = face_.methods[index];
    auto* block = new FuncDescBlock{};
    FUNCDESC& desc = block->desc;
    desc.memid = method.dispid;
    desc.lprgelemdescParam = block->params;
    desc.funckind = FUNC_PUREVIRTUAL;
    desc.invkind = INVOKE_FUNC;
    desc.callconv = CC_STDCALL;
    desc.cParams = static_cast<SHORT>(method.params.size());
    desc.oVft = static_cast<SHORT>(method.slot * sizeof(void*));
    desc.elemdescFunc.tdesc.vt = VT_HRESULT;
    for (std::size_t i = 0; i < method.params.size(); ++i) {
      const ParamDescription& param = method.params[i];
      ELEMDESC& element = block->params[i];
      if (param.out) {
        block->pointed[i].vt = static_cast<VARTYPE>(param.type & ~VT_BYREF);
        element.tdesc.vt = VT_PTR;
        element.tdesc.lptdesc = &block->pointed[i];
        element.paramdesc.wParamFlags = PARAMFLAG_FOUT;
      } else {
        element.tdesc.vt = param.type;
        element.paramdesc.wParamFlags = PARAMFLAG_FIN;
      }
    }
    *result = &block->desc;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC* desc) override {
    // The description is the first member of its block.
    delete reinterpret_cast<FuncDescBlock*>(desc);
  }

  HRESULT STDMETHODCALLTYPE GetNames(MEMBERID memid, BSTR* names, UINT maxNames, UINT* count) override {
    if (names == nullptr || count == nullptr) return E_INVALIDARG;
    *count = 0;
    const MethodDescription* method = FindMethodByDispid(face_, memid);
    if (method == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    if (maxNames > 0) names[(*count)++] = Bstr(method->name);
    for (const ParamDescription& param : method->params) {
      if (*count >= maxNames) break;
      names[(*count)++] = Bstr(param.name);
    }
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
    if (names == nullptr || ids == nullptr) return E_INVALIDARG;
    if (count == 0) return S_OK;
    const MethodDescription* found = nullptr;
    for (const MethodDescription& method : face_.methods) {
      if (SameName(names[0], method.name)) found = &method;
    }
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    if (found == nullptr) return DISP_E_UNKNOWNNAME;
    ids[0] = found->dispid;
    HRESULT result = S_OK;
    for (UINT i = 1; i < count; ++i) {
      for (std::size_t p = 0; p < found->params.size(); ++p) {
        if (SameName(names[i], found->params[p].name)) ids[i] = static_cast<MEMBERID>(p);
      }
      if (ids[i] == DISPID_UNKNOWN) result = DISP_E_UNKNOWNNAME;
    }
    return result;
  }

  HRESULT STDMETHODCALLTYPE Invoke(PVOID instance, MEMBERID memid, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argError) override {
    const MethodDescription* method = FindMethodByDispid(face_, memid);
    if (method == nullptr || (flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
    if (params == nullptr) return E_INVALIDARG;
    if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    if (params->cArgs != method->params.size()) return DISP_E_BADPARAMCOUNT;
    CallValue values[kMaxCallParams];
    for (std::size_t i = 0; i < method->params.size(); ++i) {
      // Arguments come last to first.
      UINT position = params->cArgs - 1 - static_cast<UINT>(i);
      if (!Coerce(method->params[i], params->rgvarg[position], &values[i])) {
        if (argError != nullptr) *argError = position;
        return DISP_E_TYPEMISMATCH;
      }
    }
    HRESULT outcome = method->call(instance, values);
    for (std::size_t i = 0; i < method->params.size(); ++i) {
      if (method->params[i].out) *params->rgvarg[params->cArgs - 1 - i].pulVal = values[i].number;
    }
    if (result != nullptr) VariantInit(result);
    if (FAILED(outcome)) {
      if (exception != nullptr) {
        std::memset(exception, 0, sizeof(*exception));
        exception->scode = outcome;
      }
      return DISP_E_EXCEPTION;
    }
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR* name, BSTR* docString, DWORD* helpContext,
                                             BSTR* helpFile) override {
    const wchar_t* nameText = face_.name;
    const wchar_t* help = face_.help;
    if (memid != -1) {
      const MethodDescription* method = FindMethodByDispid(face_, memid);
      if (method == nullptr) return TYPE_E_ELEMENTNOTFOUND;
      nameText = method->name;
      help = method->help;
    }
    if (name != nullptr) *name = Bstr(nameText);
    if (docString != nullptr) *docString = Bstr(help);
    if (helpContext != nullptr) *helpContext = 0;
    if (helpFile != nullptr) *helpFile = nullptr;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** library, UINT* index) override;

  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVarDesc(UINT, void**) override { return TYPE_E_ELEMENTNOTFOUND; }
  HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT, HREFTYPE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT, INT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID, INVOKEKIND, PVOID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, PVOID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMops(MEMBERID, BSTR*) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE ReleaseVarDesc(void*) override {}

 private:
  // The conversions of automation: any integer type (also by reference)
  // into an integer parameter when the value fits, a BSTR into a BSTR, and
  // a ULONG by reference for an [out] ULONG.
  static bool Coerce(const ParamDescription& param, const VARIANT& argument, CallValue* value) {
    if (param.out) {
      if (argument.vt != (VT_BYREF | VT_UI4) && argument.vt != (VT_BYREF | VT_I4)) return false;
      if (argument.pulVal == nullptr) return false;
      return true;
    }
    VARTYPE vt = argument.vt;
    bool byRef = (vt & VT_BYREF) != 0;
    vt = static_cast<VARTYPE>(vt & ~VT_BYREF);
    if (param.type == VT_BSTR) {
      if (vt != VT_BSTR) return false;
      value->text = byRef ? *argument.pbstrVal : argument.bstrVal;
      return true;
    }
    std::int64_t number = 0;
    const void* data = byRef ? argument.byref : static_cast<const void*>(&argument.lVal);
    if (data == nullptr) return false;
    switch (vt) {
      case VT_I2:
        number = *static_cast<const SHORT*>(data);
        break;
      case VT_UI2:
        number = *static_cast<const USHORT*>(data);
        break;
      case VT_I4:
      case VT_INT:
        number = *static_cast<const LONG*>(data);
        break;
      case VT_UI4:
      case VT_UINT:
        number = *static_cast<const ULONG*>(data);
        break;
      case VT_I1:
        number = *static_cast<const signed char*>(data);  // NOLINT(bugprone-signed-char-misuse): VT_I1 is signed
        break;
      case VT_UI1:
        number = *static_cast<const BYTE*>(data);
        break;
      case VT_BOOL:
        number = *static_cast<const VARIANT_BOOL*>(data);
        break;
      default:
        return false;
    }
    std::int64_t low = param.type == VT_I2 ? -32768 : 0;
    std::int64_t high = param.type == VT_I2 ? 32767 : param.type == VT_UI2 ? 65535 : 0xFFFFFFFFll;
    if (number < low || number > high) return false;
    value->number = static_cast<std::uint32_t>(number);
    return true;
  }

  const TypeLibDescription& library_;
  const InterfaceDescription& face_;
  UINT index_;
};

class BuiltInTypeLib final : public RefCounted<ITypeLib> {
 public:
  explicit BuiltInTypeLib(const TypeLibDescription& library) : library_(library) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return QueryInterfaceOf<ITypeLib>(this, riid, object, {IID_ITypeLib});
  }

  UINT STDMETHODCALLTYPE GetTypeInfoCount() override { return static_cast<UINT>(library_.interfaces.size()); }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, ITypeInfo** info) override {
    if (info == nullptr) return E_INVALIDARG;
    *info = nullptr;
    if (index >= library_.interfaces.size()) return TYPE_E_ELEMENTNOTFOUND;
    *info = new BuiltInTypeInfo(library_, *library_.interfaces[index], index);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT index, TYPEKIND* kind) override {
    if (kind == nullptr) return E_INVALIDARG;
    if (index >= library_.interfaces.size()) return TYPE_E_ELEMENTNOTFOUND;
    *kind = TKIND_INTERFACE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** info) override {
    if (info == nullptr) return E_INVALIDARG;
    *info = nullptr;
    for (std::size_t i = 0; i < library_.interfaces.size(); ++i) {
      if (library_.interfaces[i]->iid == guid) return GetTypeInfo(static_cast<UINT>(i), info);
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** attributes) override {
    if (attributes == nullptr) return E_INVALIDARG;
    *attributes = new TLIBATTR{library_.libid,        library_.lcid,         SYS_WIN64,
                               library_.majorVersion, library_.minorVersion, library_.libFlags};
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* attributes) override { delete attributes; }
  HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* name, BSTR* docString, DWORD* helpContext,
                                             BSTR* helpFile) override {
    const wchar_t* nameText = library_.name;
    const wchar_t* help = library_.help;
    if (index >= 0) {
      if (static_cast<std::size_t>(index) >= library_.interfaces.size()) return TYPE_E_ELEMENTNOTFOUND;
      nameText = library_.interfaces[index]->name;
      help = library_.interfaces[index]->help;
    }
    if (name != nullptr) *name = Bstr(nameText);
    if (docString != nullptr) *docString = Bstr(help);
    if (helpContext != nullptr) *helpContext = 0;
    if (helpFile != nullptr) *helpFile = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsName(LPOLESTR, ULONG, BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE FindName(LPOLESTR, ULONG, ITypeInfo**, MEMBERID*, USHORT*) override { return E_NOTIMPL; }

 private:
  const TypeLibDescription& library_;
};

HRESULT BuiltInTypeInfo::GetContainingTypeLib(ITypeLib** library, UINT* index) {
  if (library == nullptr) return E_INVALIDARG;
  *library = new BuiltInTypeLib(library_);
  if (index != nullptr) *index = index_;
  return S_OK;
}

std::wstring TypeLibKey(const TypeLibDescription& description) { return L"TypeLib\\" + GuidText(description.libid); }

bool KeyExists(HKey root, const std::wstring& subKey) {
  HKey key = nullptr;
  if (RegistryOpenKey(root, subKey, kKeyRead, &key) != 0) return false;
  (void)RegistryCloseKey(key);
  return true;
}

// The default value of a key as text; empty when it cannot be read.
std::wstring DefaultText(HKey root, const std::wstring& subKey) {
  HKey key = nullptr;
  if (RegistryOpenKey(root, subKey, kKeyRead, &key) != 0) return {};
  std::vector<std::uint8_t> data(512);
  std::uint32_t size = static_cast<std::uint32_t>(data.size());
  std::uint32_t type = 0;
  Win32Error result = RegistryQueryValue(key, L"", &type, data.data(), &size);
  (void)RegistryCloseKey(key);
  if (result != 0 || type != kRegSz) return {};
  data.resize(size);
  std::u16string units = Utf16FromLeBytes(data);
  return WideFromUtf16(units.substr(0, units.find(u'\0')));
}

RegistryFileSection Section(std::wstring path, std::wstring_view text) {
  return {std::move(path), false, {{L"", false, kRegSz, Utf16LeStringData(text)}}, 0};
}

}  // namespace

void AddBuiltInTypeLibrary(const TypeLibDescription& description) {
  std::lock_guard lock(LibrariesLock());
  for (const TypeLibDescription* known : Libraries()) {
    if (known == &description) return;
  }
  Libraries().push_back(&description);
}

namespace posix {

const TypeLibDescription* FindBuiltInLibrary(const GUID& libid) {
  std::lock_guard lock(LibrariesLock());
  for (const TypeLibDescription* library : Libraries()) {
    if (library->libid == libid) return library;
  }
  return nullptr;
}

const InterfaceDescription* FindBuiltInInterface(const IID& iid) {
  std::lock_guard lock(LibrariesLock());
  for (const TypeLibDescription* library : Libraries()) {
    for (const InterfaceDescription* face : library->interfaces) {
      if (face->iid == iid) return face;
    }
  }
  return nullptr;
}

std::vector<const InterfaceDescription*> BuiltInDualInterfaces() {
  std::lock_guard lock(LibrariesLock());
  std::vector<const InterfaceDescription*> faces;
  for (const TypeLibDescription* library : Libraries()) {
    for (const InterfaceDescription* face : library->interfaces) {
      if ((face->typeFlags & TYPEFLAG_FDUAL) != 0) faces.push_back(face);
    }
  }
  return faces;
}

}  // namespace posix

HRESULT RegisterTypeLibrary(const TypeLibDescription& description, std::wstring_view modulePath, bool perUser) {
  AddBuiltInTypeLibrary(description);
  // The keys and values that Windows' RegisterTypeLib writes, in one update
  // of the hive.
  std::wstring classes = perUser ? L"HKEY_CURRENT_USER\\Software\\Classes\\" : L"HKEY_CLASSES_ROOT\\";
  std::wstring versionText = VersionText(description.majorVersion, description.minorVersion);
  std::wstring version = classes + TypeLibKey(description) + L"\\" + versionText;
  std::size_t slash = modulePath.rfind(L'/');
  std::wstring_view folder = modulePath.substr(0, slash == std::wstring_view::npos ? 0 : slash);
  wchar_t locale[16];
  std::swprintf(locale, 16, L"%x", static_cast<unsigned>(description.lcid));
  std::vector<RegistryFileSection> sections = {
      Section(version, description.help),
      Section(version + L"\\FLAGS", std::to_wstring(description.libFlags)),
      Section(version + L"\\" + locale + L"\\win64", modulePath),
      Section(version + L"\\HELPDIR", folder),
  };
  for (const InterfaceDescription* face : description.interfaces) {
    std::wstring key = classes + L"Interface\\" + GuidText(face->iid);
    sections.push_back(Section(key, face->name));
    sections.push_back(Section(key + L"\\ProxyStubClsid", kAutomationMarshaler));
    sections.push_back(Section(key + L"\\ProxyStubClsid32", kAutomationMarshaler));
    RegistryFileSection typeLib = Section(key + L"\\TypeLib", GuidText(description.libid));
    typeLib.values.push_back({L"Version", false, kRegSz, Utf16LeStringData(versionText)});
    sections.push_back(std::move(typeLib));
  }
  RegistryFileError error;
  return HResultFromWin32(RegistryImport(sections, &error));
}

HRESULT UnregisterTypeLibrary(const TypeLibDescription& description, std::wstring_view, bool perUser) {
  HKey root = perUser ? kHKeyCurrentUser : kHKeyClassesRoot;
  std::wstring classes = perUser ? L"Software\\Classes\\" : L"";
  std::wstring library = classes + TypeLibKey(description);
  Win32Error result =
      RegistryDeleteKeyTree(root, library + L"\\" + VersionText(description.majorVersion, description.minorVersion));
  if (result == kErrorFileNotFound) result = 0;
  // The library's key goes with its last version.
  std::wstring name;
  HKey key = nullptr;
  if (result == 0 && RegistryOpenKey(root, library, kKeyRead, &key) == 0) {
    bool empty = RegistryEnumKey(key, 0, &name) == kErrorNoMoreItems;
    (void)RegistryCloseKey(key);
    if (empty) result = RegistryDeleteKeyTree(root, library);
  }
  // An interface key is removed only while it still names this library.
  for (const InterfaceDescription* face : description.interfaces) {
    std::wstring interfaceKey = classes + L"Interface\\" + GuidText(face->iid);
    GUID named{};
    if (!ParseGuid(DefaultText(root, interfaceKey + L"\\TypeLib"), &named) || !(named == description.libid)) continue;
    Win32Error removed = RegistryDeleteKeyTree(root, interfaceKey);
    if (result == 0 && removed != kErrorFileNotFound) result = removed;
  }
  return HResultFromWin32(result);
}

}  // namespace wl::platform

using wl::platform::GuidText;

HRESULT LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid, ITypeLib** pptlib) {
  using namespace wl::platform;
  if (pptlib == nullptr) return E_INVALIDARG;
  *pptlib = nullptr;
  // The highest registered minor version at or above the one asked for,
  // within the same major version, as Windows picks it.
  std::wstring libraryKey = L"TypeLib\\" + GuidText(rguid);
  HKey key = nullptr;
  if (RegistryOpenKey(kHKeyClassesRoot, libraryKey, kKeyRead, &key) != 0) return TYPE_E_LIBNOTREGISTERED;
  std::wstring best;
  long bestMinor = -1;
  std::wstring name;
  for (std::uint32_t index = 0; RegistryEnumKey(key, index, &name) == 0; ++index) {
    std::size_t dot = name.find(L'.');
    if (dot == std::wstring::npos) continue;
    long major = std::wcstol(name.substr(0, dot).c_str(), nullptr, 16);
    long minor = std::wcstol(name.substr(dot + 1).c_str(), nullptr, 16);
    if (major == wVerMajor && minor >= wVerMinor && minor > bestMinor) {
      bestMinor = minor;
      best = name;
    }
  }
  (void)RegistryCloseKey(key);
  if (best.empty()) return TYPE_E_LIBNOTREGISTERED;
  std::wstring versionKey = libraryKey + L"\\" + best;
  wchar_t locale[16];
  std::swprintf(locale, 16, L"%x", static_cast<unsigned>(lcid));
  // The caller's locale, else the neutral one, else the one registered.
  bool found = KeyExists(kHKeyClassesRoot, versionKey + L"\\" + locale + L"\\win64") ||
               KeyExists(kHKeyClassesRoot, versionKey + L"\\0\\win64");
  if (!found && RegistryOpenKey(kHKeyClassesRoot, versionKey, kKeyRead, &key) == 0) {
    for (std::uint32_t index = 0; !found && RegistryEnumKey(key, index, &name) == 0; ++index) {
      found =
          name != L"FLAGS" && name != L"HELPDIR" && KeyExists(kHKeyClassesRoot, versionKey + L"\\" + name + L"\\win64");
    }
    (void)RegistryCloseKey(key);
  }
  if (!found) return TYPE_E_LIBNOTREGISTERED;
  const TypeLibDescription* library = posix::FindBuiltInLibrary(rguid);
  if (library == nullptr) return TYPE_E_CANTLOADLIBRARY;
  *pptlib = new BuiltInTypeLib(*library);
  return S_OK;
}
