// The registration switches of ScribeHost, run as the real program in a
// fresh registry (Linux: a temporary root; Windows: the test's Wine prefix,
// cleared of the program's keys first): the keys and values before and
// after, compared one by one.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "com/com.h"
#include "diagnostics/format.h"
#include "diagnostics/path_data.h"
#include "diagnostics/registry_key.h"
#include "host/registration_scripts.h"
#include "host/scribe_host_registration.h"
#include "logclient/trace_log_manager_type.h"
#include "platform/access_rules.h"
#include "platform/system.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "service_control/service_control.h"
#include "tests/support/library_test_support.h"
#include "tests/support/registry_values.h"
#include "tests/support/test_support.h"

namespace wl {
namespace {

using platform::HKey;
using Snapshot = std::map<std::wstring, std::wstring>;

const std::wstring kClsid = platform::GuidText(kTraceLogManagerClsid);
const std::wstring kLibId = L"{5E2B9A47-C0D3-4F8A-B167-2A9C4E7D1F30}";
const std::wstring kIid = L"{6B1F3E90-2D4A-4C7B-8E15-F0A9C3D2B481}";
const std::wstring kAppIdText(kAppId);
constexpr std::wstring_view kMachineClasses = L"HKLM\\Software\\Classes";
constexpr std::wstring_view kUserClasses = L"HKCU\\Software\\Classes";
constexpr std::wstring_view kEventSource =
    L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ScribeHost";
constexpr std::wstring_view kServiceKey = L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\ScribeHost";
constexpr std::wstring_view kVendorKey = L"HKLM\\Software\\Kestrix";

std::wstring Upper(std::wstring_view text) {
  std::wstring upper(text);
  for (wchar_t& c : upper) c = platform::RegistryUpperCase(c);
  return upper;
}

HKey Root(std::wstring_view path, std::wstring_view* rest) {
  std::size_t slash = path.find(L'\\');
  *rest = slash == std::wstring_view::npos ? L"" : path.substr(slash + 1);
  return path.starts_with(L"HKLM") ? platform::kHKeyLocalMachine : platform::kHKeyCurrentUser;
}

std::wstring ValueText(std::uint32_t type, const std::vector<std::uint8_t>& data) {
  if (type == platform::kRegDword && data.size() == 4)
    return Format(L"dword:{}", platform::LoadLittleEndian32(data.data()));
  std::u16string units = platform::Utf16FromLeBytes(data);
  std::wstring text = platform::WideFromUtf16(units);
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  for (wchar_t& c : text) c = c == L'\0' ? L'|' : c;
  return Format(L"{}:{}", type, text);
}

// Every key below path (upper-cased, as "path\KEY") and every value (as
// "path\KEY:NAME" with its type and text). Nothing when the key is missing.
void Walk(HKey root, const std::wstring& sub, const std::wstring& shown, Snapshot* out) {
  HKey key = nullptr;
  if (platform::RegistryOpenKey(root, sub, platform::kKeyRead, &key) != kErrorSuccess) return;
  (*out)[Upper(shown)] = L"";
  std::wstring name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  for (std::uint32_t i = 0; platform::RegistryEnumValue(key, i, &name, &type, &data) == kErrorSuccess; ++i) {
    (*out)[Upper(shown) + L":" + Upper(name)] = ValueText(type, data);
  }
  std::vector<std::wstring> children;
  for (std::uint32_t i = 0; platform::RegistryEnumKey(key, i, &name) == kErrorSuccess; ++i) children.push_back(name);
  (void)platform::RegistryCloseKey(key);
  for (const auto& child : children) Walk(root, sub.empty() ? child : sub + L"\\" + child, shown + L"\\" + child, out);
}

// The keys that registration may touch, with their parents. (The registry
// of a Wine prefix is too large to read whole for every test.)
Snapshot Take() {
  Snapshot out;
  std::vector<std::wstring> trees = {std::wstring(kEventSource), std::wstring(kServiceKey), std::wstring(kVendorKey),
                                     L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application"};
  for (std::wstring_view classes : {kMachineClasses, kUserClasses}) {
    std::wstring c(classes);
    for (const std::wstring& below :
         {L"AppID\\" + kAppIdText, std::wstring(L"AppID\\ScribeHost.EXE"), std::wstring(L"ScribeHost.TraceLogManager"),
          std::wstring(L"ScribeHost.TraceLogManager.1"), L"CLSID\\" + kClsid, L"TypeLib\\" + kLibId,
          L"Interface\\" + kIid}) {
      trees.push_back(c + L"\\" + below);
    }
    for (const wchar_t* parent : {L"AppID", L"CLSID", L"TypeLib", L"Interface"}) {
      std::wstring path = c + L"\\" + parent;
      std::wstring_view rest;
      HKey root = Root(path, &rest);
      HKey key = nullptr;
      if (platform::RegistryOpenKey(root, rest, platform::kKeyRead, &key) == kErrorSuccess) {
        out[Upper(c + L"\\" + parent)] = L"";
        (void)platform::RegistryCloseKey(key);
      }
    }
  }
  for (const std::wstring& tree : trees) {
    std::wstring_view rest;
    HKey root = Root(tree, &rest);
    Snapshot below;
    Walk(root, std::wstring(rest), tree, &below);
    // The parents' own values are not registration's.
    if (tree.ends_with(L"\\Application")) below = below.empty() ? below : Snapshot{{Upper(tree), L""}};
    out.insert(below.begin(), below.end());
  }
  return out;
}

// What changed from before to after: "+" added, "-" removed, "~" changed.
Snapshot Diff(const Snapshot& before, const Snapshot& after) {
  Snapshot diff;
  for (const auto& [name, value] : after) {
    auto found = before.find(name);
    if (found == before.end())
      diff[name] = L"+" + value;
    else if (found->second != value)
      diff[name] = L"~" + value;
  }
  for (const auto& [name, value] : before) {
    if (after.count(name) == 0) diff[name] = L"-" + value;
  }
  return diff;
}

std::string Show(const Snapshot& snapshot) {
  std::string text;
  for (const auto& [name, value] : snapshot) text += platform::Utf8FromWide(name + L" = " + value) + "\n";
  return text;
}

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::SetEnvVar(L"WAYLINE_UNATTENDED", L"1"));
    Clear();
    before_ = Take();
  }
  void TearDown() override { Clear(); }

  // Removes whatever an earlier run left (Wine's prefix outlives tests).
  void Clear() {
    ScribeHostRegistration module(Program());
    ASSERT_TRUE(module.Uninstall());
    for (HKey root : {platform::kHKeyLocalMachine, platform::kHKeyCurrentUser}) {
      for (const std::wstring& below :
           {L"AppID\\" + kAppIdText, std::wstring(L"AppID\\ScribeHost.EXE"),
            std::wstring(L"ScribeHost.TraceLogManager"), std::wstring(L"ScribeHost.TraceLogManager.1"),
            L"CLSID\\" + kClsid, L"TypeLib\\" + kLibId, L"Interface\\" + kIid}) {
        (void)platform::RegistryDeleteKeyTree(root, L"Software\\Classes\\" + below);
      }
    }
    (void)platform::RegistryDeleteKeyTree(platform::kHKeyLocalMachine,
                                          std::wstring(kEventSource.substr(kEventSource.find(L'\\') + 1)));
    test::RemoveProductKeys();
  }

  // The exit code of a process that returned the HRESULT (Linux keeps the
  // low 8 bits).
  static int ExitCode(HResult result) {
    return test::OnWindows() ? static_cast<int>(result) : static_cast<int>(static_cast<std::uint32_t>(result) & 0xFF);
  }

  static std::wstring Program() { return test::ProgramPath(L"ScribeHost"); }

  static int Host(std::wstring_view flag, std::wstring_view program = {}) {
    Win32Error error = 0;
    auto child =
        platform::StartProcess(program.empty() ? Program() : std::wstring(program), {std::wstring(flag)}, &error);
    return child ? child->Wait() : -1000;
  }

  // The keys and values that registration adds to a fresh registry.
  static Snapshot Registered(std::wstring_view classes, const std::wstring& program) {
    std::wstring c(classes);
    std::wstring folder = program.substr(0, program.find_last_of(L"\\/"));
    std::wstring lib = c + L"\\TypeLib\\" + kLibId, face = c + L"\\Interface\\" + kIid, cls = c + L"\\CLSID\\" + kClsid;
    Snapshot expected = {
        {c + L"\\AppID\\" + kAppIdText, L""},
        {c + L"\\AppID\\" + kAppIdText + L":", L"1:ScribeHost"},
        {c + L"\\AppID\\ScribeHost.EXE", L""},
        {c + L"\\AppID\\ScribeHost.EXE:AppID", L"1:" + kAppIdText},
        {c + L"\\ScribeHost.TraceLogManager.1", L""},
        {c + L"\\ScribeHost.TraceLogManager.1:", L"1:TraceLogManager Class"},
        {c + L"\\ScribeHost.TraceLogManager.1\\CLSID", L""},
        {c + L"\\ScribeHost.TraceLogManager.1\\CLSID:", L"1:" + kClsid},
        {c + L"\\ScribeHost.TraceLogManager", L""},
        {c + L"\\ScribeHost.TraceLogManager:", L"1:TraceLogManager Class"},
        {c + L"\\ScribeHost.TraceLogManager\\CLSID", L""},
        {c + L"\\ScribeHost.TraceLogManager\\CLSID:", L"1:" + kClsid},
        {c + L"\\ScribeHost.TraceLogManager\\CurVer", L""},
        {c + L"\\ScribeHost.TraceLogManager\\CurVer:", L"1:ScribeHost.TraceLogManager.1"},
        {cls, L""},
        {cls + L":", L"1:TraceLogManager Class"},
        {cls + L":AppID", L"1:" + kAppIdText},
        {cls + L"\\ProgID", L""},
        {cls + L"\\ProgID:", L"1:ScribeHost.TraceLogManager.1"},
        {cls + L"\\VersionIndependentProgID", L""},
        {cls + L"\\VersionIndependentProgID:", L"1:ScribeHost.TraceLogManager"},
        {cls + L"\\Programmable", L""},
        {cls + L"\\LocalServer32", L""},
        {cls + L"\\LocalServer32:", L"1:\"" + program + L"\""},
        {cls + L"\\LocalServer32:ThreadingModel", L"1:Both"},
        {cls + L"\\TypeLib", L""},
        {cls + L"\\TypeLib:", L"1:" + kLibId},
        {lib, L""},
        {lib + L"\\9.2", L""},
        {lib + L"\\9.2:", L"1:ScribeHost 9.2 Type Library"},
        {lib + L"\\9.2\\FLAGS", L""},
        {lib + L"\\9.2\\FLAGS:", L"1:8"},
        {lib + L"\\9.2\\409", L""},
        {lib + L"\\9.2\\409\\win64", L""},
        {lib + L"\\9.2\\409\\win64:", L"1:" + program},
        {lib + L"\\9.2\\HELPDIR", L""},
        {lib + L"\\9.2\\HELPDIR:", L"1:" + folder},
        {face, L""},
        {face + L":", L"1:ITraceLogManager"},
        {face + L"\\ProxyStubClsid", L""},
        {face + L"\\ProxyStubClsid:", L"1:{00020424-0000-0000-C000-000000000046}"},
        {face + L"\\ProxyStubClsid32", L""},
        {face + L"\\ProxyStubClsid32:", L"1:{00020424-0000-0000-C000-000000000046}"},
        {face + L"\\TypeLib", L""},
        {face + L"\\TypeLib:", L"1:" + kLibId},
        {face + L"\\TypeLib:Version", L"1:9.2"},
        {std::wstring(kEventSource), L""},
        {std::wstring(kEventSource) + L":EventMessageFile", L"1:" + program},
        {std::wstring(kEventSource) + L":TypesSupported", L"dword:7"},
        // The product's key, empty: every setting at its default.
        {std::wstring(kVendorKey), L""},
        {std::wstring(kVendorKey) + L"\\Wayline", L""},
    };
    Snapshot upper;
    for (const auto& [name, value] : expected) upper[Upper(name)] = L"+" + value;
    return upper;
  }

  // Leaves the parent keys that registration creates in a fresh registry
  // (Linux) out of a diff; a Wine prefix has them already.
  static Snapshot WithoutParents(Snapshot diff) {
    for (auto it = diff.begin(); it != diff.end();) {
      bool parent = false;
      for (std::wstring_view classes : {kMachineClasses, kUserClasses}) {
        for (const wchar_t* name : {L"AppID", L"CLSID", L"TypeLib", L"Interface"}) {
          parent = parent || it->first == Upper(std::wstring(classes) + L"\\" + name);
        }
      }
      parent = parent || it->first == Upper(L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application");
      it = parent ? diff.erase(it) : std::next(it);
    }
    // Wine's typelib marshaler needs the neutral locale entry beside the
    // library's own; the program adds it under Wine only.
    if (platform::WineVersion()) {
      std::wstring neutral = Upper(std::wstring(kMachineClasses) + L"\\TypeLib\\" + kLibId + L"\\9.2\\0");
      for (auto it = diff.begin(); it != diff.end();)
        it = it->first.starts_with(neutral) ? diff.erase(it) : std::next(it);
    }
    return diff;
  }

  static platform::ServiceConfig ServiceConfig(Win32Error* result) {
    platform::ServiceHandle manager, service;
    platform::ServiceConfig config;
    *result = platform::OpenSCManagerW(platform::kScManagerConnect, manager.Receive());
    if (*result == kErrorSuccess) {
      *result = platform::OpenServiceW(manager.Get(), kServiceName, platform::kServiceQueryConfig, service.Receive());
    }
    if (*result == kErrorSuccess) *result = platform::QueryServiceConfigW(service.Get(), &config);
    return config;
  }

  test::TempRoot root_;
  test::MachineStateLock lock_;
  Snapshot before_;
};

TEST_F(RegistrationTest, RegServerWritesTheClassAppIdEventSourceAndTypeLibrary) {
  ASSERT_EQ(Host(L"/RegServer"), 0);
  Snapshot after = Take();
  EXPECT_EQ(Show(WithoutParents(Diff(before_, after))), Show(Registered(kMachineClasses, Program())));
  // The data folder too, as on an installed machine.
  EXPECT_TRUE(std::filesystem::is_directory(LocateDataFolder()));
  // On Windows ordinary users may read it and the settings, and change
  // neither (Linux: the owners and modes of the root's files say so; Wine
  // keeps a key's list without its flags, and none on files).
  auto keyRules = platform::ReadAccessRules(platform::MachineObject::kKey, kProductKey);
  if (keyRules.ErrorCode() != 50) {
    bool wine = platform::WineVersion().has_value();
    EXPECT_EQ(platform::Utf8FromWide(keyRules.ValueOr({})),
              wine ? "O:BAD:(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)"
                   : "O:BAD:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)");
    if (!wine) {
      auto folderRules = platform::ReadAccessRules(platform::MachineObject::kFolder, LocateDataFolder());
      EXPECT_EQ(folderRules.ErrorCode(), 0u);
      EXPECT_EQ(platform::Utf8FromWide(folderRules.ValueOr({})),
                "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)");
    }
  }
  // The COM runtime finds the library through the keys.
  ITypeLib* library = nullptr;
  ASSERT_EQ(LoadRegTypeLib(kScribeHostLibId, 9, 2, 0x409, &library), S_OK);
  library->Release();
  Win32Error result = 0;
  (void)ServiceConfig(&result);
  EXPECT_EQ(result, kErrorServiceDoesNotExist);
}

TEST_F(RegistrationTest, ServiceInstallsTheServiceAndNamesItInTheAppId) {
  ASSERT_EQ(Host(L"-Service"), 0);
  Snapshot expected = Registered(kMachineClasses, Program());
  expected[Upper(std::wstring(kMachineClasses) + L"\\AppID\\" + kAppIdText + L":LocalService")] = L"+1:ScribeHost";
  Snapshot diff = WithoutParents(Diff(before_, Take()));
  // The service database is the service manager's: its key is checked
  // below through the manager, and on Linux value by value.
  Snapshot service;
  for (auto it = diff.begin(); it != diff.end();) {
    if (it->first.starts_with(Upper(kServiceKey))) {
      service.insert(*it);
      it = diff.erase(it);
    } else {
      ++it;
    }
  }
  EXPECT_EQ(Show(diff), Show(expected));

  Win32Error result = 0;
  platform::ServiceConfig config = ServiceConfig(&result);
  ASSERT_EQ(result, kErrorSuccess);
  EXPECT_EQ(config.serviceType, 0x10u);
  EXPECT_EQ(config.startType, 3u);
  EXPECT_EQ(config.errorControl, 1u);
  EXPECT_EQ(config.binaryPathName, L"\"" + Program() + L"\"");
  EXPECT_EQ(config.loadOrderGroup, L"");
  // Wine's QueryServiceConfigW leaves the dependencies out.
  if (!test::OnWindows()) {
    EXPECT_EQ(config.dependencies, std::vector<std::wstring>{L"RPCSS"});
  }
  EXPECT_EQ(config.serviceStartName, L"LocalSystem");
  EXPECT_EQ(config.displayName, L"ScribeHost");
  if (!test::OnWindows()) {
    std::wstring key = Upper(kServiceKey);
    EXPECT_EQ(Show(service), Show(Snapshot{{key, L"+"},
                                           {key + L":TYPE", L"+dword:16"},
                                           {key + L":START", L"+dword:3"},
                                           {key + L":ERRORCONTROL", L"+dword:1"},
                                           {key + L":IMAGEPATH", L"+2:\"" + Program() + L"\""},
                                           {key + L":DISPLAYNAME", L"+1:ScribeHost"},
                                           {key + L":DEPENDONSERVICE", L"+7:RPCSS"},
                                           {key + L":OBJECTNAME", L"+1:LocalSystem"}}));
  }
}

// A copy of the program in a folder whose name holds a single quote.
class QuotedCopy {
 public:
  QuotedCopy() {
    std::filesystem::path folder = folder_.Path() / "it's here";
    std::filesystem::create_directories(folder);
    path_ = folder / std::filesystem::path(RegistrationTestProgram()).filename();
    std::filesystem::copy_file(std::filesystem::path(RegistrationTestProgram()), path_);
  }
  [[nodiscard]] std::wstring Path() const { return path_.wstring(); }
  static std::wstring RegistrationTestProgram() { return test::ProgramPath(L"ScribeHost"); }

 private:
  test::TempFolder folder_;
  std::filesystem::path path_;
};

TEST_F(RegistrationTest, APathWithASingleQuoteIsWrittenIntact) {
  QuotedCopy copy;
  ASSERT_EQ(Host(L"/RegServer", copy.Path()), 0);
  Snapshot after = Take();
  std::wstring cls = Upper(std::wstring(kMachineClasses) + L"\\CLSID\\" + kClsid);
  EXPECT_EQ(after[cls + L"\\LOCALSERVER32:"], L"1:\"" + copy.Path() + L"\"");
  EXPECT_EQ(after[Upper(kEventSource) + L":EVENTMESSAGEFILE"], L"1:" + copy.Path());
  EXPECT_NE(copy.Path().find(L"it's here"), std::wstring::npos);
  EXPECT_EQ(Host(L"/UnregServer", copy.Path()), 0);
}

TEST_F(RegistrationTest, ServiceTwiceRecreatesTheServiceAndRegServerRemovesIt) {
  QuotedCopy copy;
  ASSERT_EQ(Host(L"/Service", copy.Path()), 0);
  Win32Error result = 0;
  EXPECT_EQ(ServiceConfig(&result).binaryPathName, L"\"" + copy.Path() + L"\"");
  // The second run removes the installed service and creates it anew, for
  // the program that runs now.
  ASSERT_EQ(Host(L"/Service"), 0);
  EXPECT_EQ(ServiceConfig(&result).binaryPathName, L"\"" + Program() + L"\"");
  ASSERT_EQ(result, kErrorSuccess);

  ASSERT_EQ(Host(L"/RegServer"), 0);
  (void)ServiceConfig(&result);
  EXPECT_EQ(result, kErrorServiceDoesNotExist);
  Snapshot after = Take();
  EXPECT_EQ(after.count(Upper(std::wstring(kMachineClasses) + L"\\AppID\\" + kAppIdText + L":LocalService")), 0u);
  EXPECT_EQ(after.count(Upper(std::wstring(kMachineClasses) + L"\\AppID\\" + kAppIdText)), 1u);
}

TEST_F(RegistrationTest, UnregServerKeepsOnlyTheSharedParentKeys) {
  ASSERT_EQ(Host(L"/Service"), 0);
  ASSERT_EQ(Host(L"/UnregServer"), 0);
  Snapshot after = Take();
  EXPECT_EQ(Show(WithoutParents(Diff(before_, after))), "");
  Win32Error result = 0;
  (void)ServiceConfig(&result);
  EXPECT_EQ(result, kErrorServiceDoesNotExist);
  // AppID, CLSID and the event log's path are NoRemove.
  for (const std::wstring& kept :
       {std::wstring(kMachineClasses) + L"\\AppID", std::wstring(kMachineClasses) + L"\\CLSID",
        std::wstring(L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application")}) {
    EXPECT_EQ(after.count(Upper(kept)), 1u) << platform::Utf8FromWide(kept);
  }
  // Unregistering again fails when it opens the AppID key, which is gone,
  // and changes nothing. (Under Wine it fails with error 87 instead.)
  int again = Host(L"/UnregServer");
  if (!test::OnWindows()) {
    EXPECT_EQ(again, ExitCode(HResultFromWin32(kErrorFileNotFound)));
  }
  EXPECT_NE(again, 0);
  EXPECT_EQ(Show(Take()), Show(after));
}

TEST_F(RegistrationTest, RegisteringAgainAfterUnregisteringLeavesTheSameRegistry) {
  ASSERT_EQ(Host(L"/RegServer"), 0);
  Snapshot once = Take();
  ASSERT_EQ(Host(L"/UnregServer"), 0);
  ASSERT_EQ(Host(L"/RegServer"), 0);
  EXPECT_EQ(Show(Take()), Show(once));
  ASSERT_EQ(Host(L"/RegServer"), 0);
  EXPECT_EQ(Show(Take()), Show(once));
}

// Registering leaves the settings an operator made, and so does
// unregistering, which removes only the product's key that it left empty.
TEST_F(RegistrationTest, TheOperatorsSettingsStay) {
  const std::wstring product = Upper(std::wstring(kVendorKey) + L"\\Wayline");
  ASSERT_EQ(test::SetNumber(platform::kHKeyLocalMachine, kProductKey, L"MaxLogFileSize", 10240), 0u);
  ASSERT_EQ(test::SetNumber(platform::kHKeyLocalMachine, kCurrentInstallKey, L"FileOutput", 1), 0u);
  Snapshot settings = Take();
  for (const wchar_t* flag : {L"/Service", L"/RegServer", L"/UnregServer"}) {
    ASSERT_EQ(Host(flag), 0) << platform::Utf8FromWide(flag);
    Snapshot after = Take();
    EXPECT_EQ(after[product + L":MAXLOGFILESIZE"], L"dword:10240");
    EXPECT_EQ(after[product + L"\\CURRENTINSTALL:FILEOUTPUT"], L"dword:1");
  }
  EXPECT_EQ(Show(WithoutParents(Diff(settings, Take()))), "");
}

TEST_F(RegistrationTest, PerUserPutsTheClassesUnderTheUserAndTheRestOnTheMachine) {
  if (test::OnWindows()) {
    GTEST_SKIP() << "Wine registers a type library for the user in the machine's classes, so the split is the "
                    "Linux stand-in's to show";
  }
  ASSERT_EQ(Host(L"/RegServerPerUser"), 0);
  // Script 101's classes part moves with script 102; the event source and
  // the service stay the machine's.
  EXPECT_EQ(Show(WithoutParents(Diff(before_, Take()))), Show(Registered(kUserClasses, Program())));
  ASSERT_EQ(Host(L"/UnregServerPerUser"), 0);
  EXPECT_EQ(Show(WithoutParents(Diff(before_, Take()))), "");
}

TEST_F(RegistrationTest, ServiceManagerFailuresAreShownAndFailTheSwitch) {
  if (test::OnWindows()) GTEST_SKIP() << "needs a service manager that fails; Linux only";
  // The service manager cannot keep its state: a file where its folder goes.
  std::filesystem::remove_all(root_.Path() / "run");
  test::WriteFileBytes(root_.Path() / "run", {'x'});
  AddRegistrationScripts();
  ScribeHostRegistration module(Program());
  testing::internal::CaptureStderr();
  EXPECT_FALSE(module.Install());
  EXPECT_EQ(module.RegisterAppId(true), kEFail);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ScribeHost: Could not open Service Manager\nScribeHost: Could not open Service Manager\n");
  EXPECT_EQ(Host(L"/Service"), ExitCode(kEFail));

  // A broken service database: creating the service fails.
  std::filesystem::remove(root_.Path() / "run");
  std::filesystem::create_directories(root_.Path() / "registry");
  test::WriteFileBytes(root_.Path() / "registry" / "HKLM.reg", {'b', 'a', 'd'});
  testing::internal::CaptureStderr();
  EXPECT_FALSE(module.Install());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ScribeHost: Could not start service\n");
}

TEST(HostSwitches, TheFirstRegistrationSwitchWinsAndServiceComesLast) {
  const std::pair<const wchar_t*, HostSwitch> cases[] = {
      {L"ScribeHost.exe /RegServer", HostSwitch::kRegServer},
      {L"ScribeHost.exe -regserver", HostSwitch::kRegServer},
      {L"ScribeHost.exe /REGSERVER\t-x", HostSwitch::kRegServer},
      {L"ScribeHost.exe /RegServerX", HostSwitch::kNone},
      {L"ScribeHost.exe /RegServe", HostSwitch::kNone},
      {L"ScribeHost.exe RegServer", HostSwitch::kNone},
      {L"ScribeHost.exe /UnregServer /RegServer", HostSwitch::kUnregServer},
      {L"ScribeHost.exe /RegServerPerUser", HostSwitch::kRegServerPerUser},
      {L"ScribeHost.exe -UnregServerPerUser", HostSwitch::kUnregServerPerUser},
      {L"ScribeHost.exe /Service", HostSwitch::kService},
      {L"ScribeHost.exe /Service /RegServer", HostSwitch::kRegServer},
      {L"ScribeHost.exe /ServiceX /Service", HostSwitch::kService},
      {L"ScribeHost.exe /Services", HostSwitch::kNone},
      {L"ScribeHost.exe -Embedding", HostSwitch::kNone},
      {L"/opt/x-regserver/ScribeHost", HostSwitch::kNone},
      {L"\"C:\\a b\\-regserver x\\ScribeHost.exe\"", HostSwitch::kRegServer},
      {L"", HostSwitch::kNone},
      {L"/", HostSwitch::kNone},
  };
  for (const auto& [line, expected] : cases) {
    EXPECT_EQ(FindHostSwitch(line), expected) << platform::Utf8FromWide(line);
  }
}

}  // namespace
}  // namespace wl
