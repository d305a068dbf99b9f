// One machine root used by several accounts, as /var/lib/wayline is. What
// the system account keeps there is never writable by another user; a user
// keeps its own files in its own state folder; and what another user could
// have planted in a root that an earlier version made (its folders open to
// everyone) is refused and reported, while every other file keeps being
// written. The other account is "nobody", acting through its own processes.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <optional>

#include "com/com.h"
#include "diagnostics/path_data.h"
#include "diagnostics/singleton.h"
#include "logclient/file_logger.h"
#include "logclient/trace_log_manager_type.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/refusal_report.h"
#include "service/trace_log_manager.h"
#include "service_control/service_control.h"
#include "service_control/service_run.h"
#include "tests/support/service_fixture.h"
#include "tools/registry_tool.h"

namespace wl {
namespace {

namespace fs = std::filesystem;

// What the layer reports through its refusal and COM sinks meanwhile.
class Reports {
 public:
  Reports() {
    platform::SetRefusalSink(&Record);
    platform::SetComReportSink([](platform::ComReport, std::wstring_view text) { Record(text); });
    std::lock_guard lock(Mutex());
    Texts().clear();
  }
  ~Reports() {
    platform::SetRefusalSink(nullptr);
    platform::SetComReportSink(nullptr);
  }
  Reports(const Reports&) = delete;
  Reports& operator=(const Reports&) = delete;

  bool Has(const std::string& text) { return All().find(text) != std::string::npos; }

  std::string All() {
    std::lock_guard lock(Mutex());
    std::string all;
    for (const auto& text : Texts()) all += platform::Utf8FromWide(text) + "\n";
    return all;
  }

 private:
  static void Record(std::wstring_view text) {
    std::lock_guard lock(Mutex());
    Texts().emplace_back(text);
  }
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<std::wstring>& Texts() {
    static std::vector<std::wstring> texts;
    return texts;
  }
};

class SharedRootTest : public test::ServiceFixture {
 protected:
  void SetUp() override {
    if (test::OnWindows()) GTEST_SKIP() << "the machine root stands in for Windows' own places on Linux only";
    if (!test::RunningAsSystem()) GTEST_SKIP() << "only the system account (root) can act as another user";
    ServiceFixture::SetUp();
  }

  static std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }
  static int AsNobody(const std::string& command) {
    return test::RunAs(L"nobody", "/bin/sh", {L"-c", platform::WideFromUtf8(command)}).value_or(-1000);
  }
  // A folder as an earlier version made it: every user may add to it.
  static void OpenToEveryone(const fs::path& folder) {
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::all | fs::perms::sticky_bit);
  }
  // A file that only root may read or write, holding "precious".
  fs::path Precious() {
    fs::path secret = root_.Path() / "secret";
    fs::create_directories(secret);
    fs::permissions(secret, fs::perms::owner_all);
    test::WriteFileBytes(secret / "precious", {'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'});
    return secret / "precious";
  }
  // A script that would leave a marker if anything ran it.
  static fs::path MarkerScript(const fs::path& folder, const fs::path& marker) {
    fs::path script = folder / "server.sh";
    std::string text = "#!/bin/sh\ntouch " + Quoted(marker) + "\n";
    test::WriteFileBytes(script, {text.begin(), text.end()});
    fs::permissions(script, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    return script;
  }
};

// The child program where every account can run it, and a state folder of
// nobody's own as its $XDG_STATE_HOME.
class NobodysChild {
 public:
  NobodysChild() : program_(L"scribe_test_child"), previous_(platform::GetEnvVar(L"XDG_STATE_HOME")) {
    fs::create_directories(State());
    EXPECT_TRUE(test::GiveTo(State(), L"nobody"));
    platform::SetEnvVar(L"XDG_STATE_HOME", State().wstring());
  }
  ~NobodysChild() {
    previous_ ? platform::SetEnvVar(L"XDG_STATE_HOME", *previous_) : platform::UnsetEnvVar(L"XDG_STATE_HOME");
  }
  NobodysChild(const NobodysChild&) = delete;
  NobodysChild& operator=(const NobodysChild&) = delete;

  int Run(const std::vector<std::wstring>& arguments) {
    std::optional<int> code = test::RunAs(L"nobody", program_.Path(), arguments);
    EXPECT_TRUE(code) << "the child program did not start as nobody";
    return code.value_or(-1000);
  }
  [[nodiscard]] fs::path State() const { return folder_.Path() / "state"; }
  [[nodiscard]] fs::path Scratch() const { return folder_.Path(); }

 private:
  test::SharedProgram program_;
  // Not the program's folder, which every user may write: the product
  // refuses a state folder below one.
  test::TempFolder folder_;
  std::optional<std::wstring> previous_;
};

TEST_F(SharedRootTest, AnotherUserKeepsItsOwnFilesBesideTheSystemAccounts) {
  // The system account comes first, as the service does: the data folder,
  // its daily file, the mutex's lock file, and the hive of the logged-on
  // user, whose trace flags it writes (and so makes the hive for the user).
  FileLog(L"system account's line\n");
  LifetimeTracker::Instance().DestroyAll();
  std::wstring sid = test::SidOf(L"nobody");
  ASSERT_EQ(test::SetNumber(platform::kHKeyUsers, sid + L"\\" + std::wstring(kCurrentInstallKey), L"TraceFlags", 1),
            0u);

  NobodysChild child;
  ASSERT_EQ(child.Run({L"second-user"}), 0) << "10+: the mutex, 20+: the user's hive";
  fs::path ownData = child.State() / "wayline" / "ProgramData" / "Kestrix" / "Wayline";
  int files = 0;
  for (const auto& entry : fs::directory_iterator(ownData)) {
    ++files;
    EXPECT_NE(test::ReadFileText(entry.path()).find("\r\nsecond user's line\r\n"), std::string::npos);
  }
  EXPECT_EQ(files, 1) << "the second user's daily file";
  EXPECT_TRUE(fs::exists(child.State() / "wayline" / "run" / "mutex" / "TesselFileLogger.lock"));
  EXPECT_EQ(fs::status(child.State() / "wayline").permissions(), fs::perms::owner_all);
  for (const auto& entry : fs::directory_iterator(DataFolder())) {
    EXPECT_FALSE(entry.path().filename().string().starts_with("scribe_test_child")) << entry.path();
  }
  std::uint32_t flags = 0;
  EXPECT_EQ(test::GetDword(platform::kHKeyUsers, sid + L"\\" + std::wstring(kCurrentInstallKey), L"TraceFlags", &flags),
            0u);
  EXPECT_EQ(flags, 2u);
}

// A process of another user that crashes leaves its dump in its own state,
// where nothing of the system account's lies, and none in the data folder.
TEST_F(SharedRootTest, AnotherUsersCrashLeavesItsDumpInItsOwnState) {
  NobodysChild child;
  // Sanitizers leave the fatal signals to the program, as the crash tests do.
  std::vector<std::pair<std::wstring, std::optional<std::wstring>>> saved;
  for (const wchar_t* name : {L"ASAN_OPTIONS", L"TSAN_OPTIONS"}) {
    saved.emplace_back(name, platform::GetEnvVar(name));
    platform::SetEnvVar(name, saved.back().second.value_or(L"") + L":handle_segv=0:handle_abort=0");
  }
  fs::path ownData = child.State() / "wayline" / "ProgramData" / "Kestrix" / "Wayline";
  ASSERT_EQ(AsNobody("mkdir -p " + Quoted(ownData)), 0);
  EXPECT_NE(child.Run({L"crash", L"null-write", L"on"}), 0);
  for (const auto& [name, value] : saved) value ? platform::SetEnvVar(name, *value) : platform::UnsetEnvVar(name);
  int dumps = 0;
  for (const auto& entry : fs::directory_iterator(ownData)) dumps += entry.path().extension() == ".dmp" ? 1 : 0;
  EXPECT_EQ(dumps, 1);
  for (const auto& entry : fs::directory_iterator(DataFolder())) EXPECT_NE(entry.path().extension(), ".dmp");
}

// Everything the system account makes in a root is its own and open to no
// one else: the folders 0755, the lock files 0600; the user's hive folder
// alone belongs to the user.
TEST_F(SharedRootTest, NoOtherUserCanAddToTheMachineRoot) {
  FileLog(L"line\n");
  LifetimeTracker::Instance().DestroyAll();
  std::wstring sid = test::SidOf(L"nobody");
  ASSERT_EQ(test::SetNumber(platform::kHKeyUsers, sid + L"\\Software", L"x", 1), 0u);
  ASSERT_EQ(test::SetNumber(platform::kHKeyLocalMachine, kProductKey, L"x", 1), 0u);
  ASSERT_EQ(test::SetNumber(platform::kHKeyCurrentUser, kProductKey, L"x", 1), 0u);

  fs::path data = DataFolder();
  fs::path registry = root_.Path() / "registry";
  for (const std::string& plant : {
           "ln -s /etc/hostname " + Quoted(data / "Tally.log"),
           "mkfifo " + Quoted(data / "Mover.log"),
           "touch " + Quoted(data / "AirPass.log"),
           "mkdir " + Quoted(root_.Path() / "ProgramData" / "Elsewhere"),
           "touch " + Quoted(registry / "users" / "S-1-5-18.reg"),
           "touch " + Quoted(registry / "HKLM.reg.new"),
           "touch " + Quoted(root_.Path() / "run" / "mutex" / "Planted.lock"),
           "flock " + Quoted(registry / "HKLM.reg.lock") + " true",
           "flock " + Quoted(root_.Path() / "run" / "mutex" / "TesselFileLogger.lock") + " true",
       }) {
    EXPECT_NE(AsNobody(plant), 0) << plant;
  }
  std::string open;
  EXPECT_EQ(test::Shell("find " + Quoted(root_.Path()) + " ! -type l -perm /022", &open), 0);
  EXPECT_EQ(open, "");
  std::string locks;
  EXPECT_EQ(test::Shell("find " + Quoted(root_.Path()) + " -name '*.lock' ! -perm 600", &locks), 0);
  EXPECT_EQ(locks, "");
  std::string owners;
  EXPECT_EQ(test::Shell("find " + Quoted(root_.Path()) + " ! -user root | sort", &owners), 0);
  fs::path userFolder = registry / "users" / platform::Utf8FromWide(sid);
  std::string sidText = platform::Utf8FromWide(sid);
  EXPECT_EQ(owners, userFolder.string() + "\n" + (userFolder / (sidText + ".reg")).string() + "\n" +
                        (userFolder / (sidText + ".reg.lock")).string() + "\n");
}

// Attack: root's own hive did not exist and registry/users took files from
// everyone, so nobody wrote it, naming a program of theirs as a class's
// server. The hive is ignored (and reported); nothing of nobody's runs.
TEST_F(SharedRootTest, APlantedSystemHiveStartsNothing) {
  Reports reports;
  fs::path users = root_.Path() / "registry" / "users";
  OpenToEveryone(users);
  test::TempFolder theirs;
  fs::permissions(theirs.Path(), fs::perms::all);
  fs::path marker = theirs.Path() / "ran";
  fs::path script = MarkerScript(theirs.Path(), marker);
  std::wstring clsid = platform::GuidText(kTraceLogManagerClsid);
  std::string hive = "Windows Registry Editor Version 5.00\n\n[HKEY_USERS\\S-1-5-18\\Software\\Classes\\CLSID\\" +
                     platform::Utf8FromWide(clsid) + "\\LocalServer32]\n@=\"" + script.string() + "\"\n";
  ASSERT_EQ(AsNobody("printf '%s' '" + hive + "' > " + Quoted(users / "S-1-5-18.reg")), 0);

  platform::HKey key = nullptr;
  EXPECT_EQ(platform::RegistryOpenKey(platform::kHKeyClassesRoot, L"CLSID\\" + clsid + L"\\LocalServer32",
                                      platform::kKeyRead, &key),
            kErrorFileNotFound);
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  IUnknown* object = nullptr;
  EXPECT_EQ(CoCreateInstance(kTraceLogManagerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&object)),
            REGDB_E_CLASSNOTREG);
  CoUninitialize();
  EXPECT_FALSE(fs::exists(marker));
  // Root's own settings are not written into nobody's file either.
  EXPECT_EQ(test::SetNumber(platform::kHKeyCurrentUser, kProductKey, L"x", 1), kErrorAccessDenied);
  EXPECT_NE(test::ReadFileText(users / "S-1-5-18.reg").find("LocalServer32"), std::string::npos);
  EXPECT_TRUE(reports.Has("Ignored the registry hive " + (users / "S-1-5-18.reg").string() +
                          ": refused: it belongs to user 65534 (nobody), not to the system account\n"))
      << reports.All();
}

// A registration of the machine's own that names a program another user
// could change is not started, by an activation or by the service control.
TEST_F(SharedRootTest, NoProgramThatAnotherUserCanChangeIsStarted) {
  Reports reports;
  test::TempFolder folder;
  fs::path marker = folder.Path() / "ran";
  fs::path theirs = folder.Path() / "theirs";
  fs::create_directories(theirs);
  fs::path script = MarkerScript(theirs, marker);
  ASSERT_EQ(test::Shell("chown nobody " + Quoted(theirs)), 0);
  std::wstring clsid = platform::GuidText(kTraceLogManagerClsid);
  ASSERT_EQ(test::SetString(platform::kHKeyLocalMachine, L"Software\\Classes\\CLSID\\" + clsid + L"\\LocalServer32",
                            L"", script.wstring()),
            0u);
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  IUnknown* object = nullptr;
  EXPECT_EQ(CoCreateInstance(kTraceLogManagerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&object)),
            CO_E_SERVER_EXEC_FAILURE);
  CoUninitialize();
  EXPECT_TRUE(reports.Has("Refused to start the server of " + platform::Utf8FromWide(clsid) + ": " + script.string() +
                          ": refused: the folder " + theirs.string() + " on the way belongs to user 65534 (nobody)\n"))
      << reports.All();

  // A service whose program anyone may rewrite.
  ASSERT_EQ(test::Shell("chown root " + Quoted(theirs) + " && chmod 0777 " + Quoted(script)), 0);
  platform::ServiceHandle manager, service;
  ASSERT_EQ(platform::OpenSCManagerW(platform::kScManagerAllAccess, manager.Receive()), 0u);
  platform::ServiceConfig config;
  config.serviceType = platform::kServiceWin32OwnProcess;
  config.startType = platform::kServiceDemandStart;
  config.binaryPathName = L"\"" + script.wstring() + L"\"";
  ASSERT_EQ(platform::CreateServiceW(manager.Get(), L"Planted", config, platform::kServiceAllAccess, service.Receive()),
            0u);
  EXPECT_EQ(platform::StartInstalledService(L"Planted"), kErrorAccessDenied);
  EXPECT_TRUE(reports.Has("Refused to start the service Planted: " + script.string() +
                          ": refused: it is writable by other users\n"))
      << reports.All();
  platform::SleepMilliseconds(100);
  EXPECT_FALSE(fs::exists(marker));
}

// Attacks on the log files of a data folder that an earlier version opened
// to every user: a link to a file only root may write, a FIFO, a file of
// nobody's, a folder, a hard link. Each is refused with its reason, nothing
// blocks, the planted things stay as they were, and every other file gets
// its lines.
TEST_F(SharedRootTest, PlantedLogFilesAreRefusedAndTheOthersWritten) {
  fs::path data = DataFolder();
  fs::path precious = Precious();
  OpenToEveryone(data);
  ASSERT_EQ(AsNobody("ln -s " + Quoted(precious) + " " + Quoted(data / "Tally.log") + " && mkfifo " +
                     Quoted(data / "Mover.log") + " && echo theirs > " + Quoted(data / "AirPass.log") + " && mkdir " +
                     Quoted(data / "Keeper.log")),
            0);
  fs::create_hard_link(precious, data / "Parcel.log");

  auto manager = std::make_unique<TraceLogManager>();
  ASSERT_EQ(manager->FinalConstruct(), kSOk);
  for (SourceNumber source : {28, 24, 27, 22, 23, 1, 21, 28, 24}) {
    EXPECT_EQ(manager->QueueMessage(source, 1, Format(L"line of {}", source)), kSOk);
  }
  manager->WaitUntilWritten();
  EXPECT_EQ(test::ReadFileText(precious), "precious");
  EXPECT_TRUE(fs::is_fifo(data / "Mover.log"));
  EXPECT_EQ(test::ReadFileText(data / "AirPass.log"), "theirs\n");
  EXPECT_NE(test::ReadFileText(data / "Wayline.log").find("line of 1\r\n"), std::string::npos);
  EXPECT_NE(test::ReadFileText(data / "Lookout.log").find("line of 21\r\n"), std::string::npos);
  // A reset removes what lies under the names of the files it opened, the
  // planted entries included, and nothing they lead to.
  EXPECT_EQ(manager->ResetLogs(), kSOk);
  manager->FinalRelease();
  manager.reset();
  EXPECT_EQ(test::ReadFileText(precious), "precious");

  std::string diagnostics = Diagnostics();
  for (const auto& [file, reason] : std::vector<std::pair<std::string, std::string>>{
           {"Tally.log", "it is a symbolic link"},
           {"Mover.log", "it is a FIFO, not a regular file"},
           {"AirPass.log", "it belongs to user 65534 (nobody)"},
           {"Keeper.log", "it is a folder, not a regular file"},
           {"Parcel.log", "it has 2 hard links"},
       }) {
    EXPECT_EQ(CountOf(diagnostics,
                      "Error: Open failed for file " + (data / file).string() + " - refused: " + reason + "\r\n"),
              1u)
        << file << "\n"
        << diagnostics;
  }
  EXPECT_FALSE(fs::exists(data / "Wayline.log"));
  EXPECT_FALSE(fs::exists(data / "Tally.log"));
}

// Attack: in a ProgramData open to everyone, nobody made Kestrix with a link
// Wayline to a folder only root may write. No line goes there and a reset
// deletes nothing there.
TEST_F(SharedRootTest, ARedirectedDataFolderIsRefused) {
  ASSERT_EQ(test::SetDebugOutput(1), 0u);
  PassRefreshInterval();
  fs::path precious = Precious();
  fs::path programData = root_.Path() / "ProgramData";
  fs::remove_all(programData / "Kestrix");
  OpenToEveryone(programData);
  ASSERT_EQ(AsNobody("mkdir " + Quoted(programData / "Kestrix") + " && ln -s " + Quoted(precious.parent_path()) + " " +
                     Quoted(programData / "Kestrix" / "Wayline")),
            0);
  test::WriteFileBytes(precious.parent_path() / "Wayline.log", {'k', 'e', 'p', 't'});

  auto manager = std::make_unique<TraceLogManager>();
  ASSERT_EQ(manager->FinalConstruct(), kSOk);
  EXPECT_EQ(manager->QueueMessage(1, 1, L"redirected?"), kSOk);
  manager->WaitUntilWritten();
  EXPECT_EQ(manager->ResetLogs(), kSOk);
  manager->FinalRelease();
  manager.reset();
  LifetimeTracker::Instance().DestroyAll();

  EXPECT_EQ(test::ReadFileText(precious.parent_path() / "Wayline.log"), "kept");
  EXPECT_EQ(test::ReadFileText(precious), "precious");
  // The data folder's diagnostic lines cannot be written there either; with
  // DebugOutput on they show on the debug output.
  std::wstring debug;
  for (const auto& text : recorder_.Debug()) debug += text;
  EXPECT_NE(debug.find(L"Error: Open failed for file " +
                       (programData / "Kestrix" / "Wayline" / "Wayline.log").wstring() + L" - refused: the folder " +
                       (programData / "Kestrix").wstring() + L" on the way belongs to user 65534 (nobody)"),
            std::wstring::npos)
      << platform::Utf8FromWide(debug);
}

// Attack on the service control: a status file that nobody put into a run
// folder open to everyone names a process of someone else's (here a sleep
// of root's) as the running service, for a stop control to signal. It
// counts as no status, and the process lives on.
TEST_F(SharedRootTest, APlantedStatusFileStopsNothing) {
  Reports reports;
  platform::ServiceHandle manager, service;
  ASSERT_EQ(platform::OpenSCManagerW(platform::kScManagerAllAccess, manager.Receive()), 0u);
  platform::ServiceConfig config;
  config.serviceType = platform::kServiceWin32OwnProcess;
  config.startType = platform::kServiceDemandStart;
  config.binaryPathName = test::ProgramPath(L"scribe_test_child");
  ASSERT_EQ(platform::CreateServiceW(manager.Get(), L"Planted", config, platform::kServiceAllAccess, service.Receive()),
            0u);
  Win32Error error = 0;
  auto victim = platform::StartProcess(L"/bin/sleep", {L"60"}, &error);
  ASSERT_TRUE(victim);
  std::string pid = std::to_string(victim->Id());
  std::string identity;
  ASSERT_EQ(test::Shell("echo start=$(awk '{print $22}' /proc/" + pid +
                            "/stat) && echo boot=$(cat "
                            "/proc/sys/kernel/random/boot_id)",
                        &identity),
            0);
  fs::path services = root_.Path() / "run" / "services";
  OpenToEveryone(services);
  fs::path status = services / "Planted.status";
  ASSERT_EQ(AsNobody("printf 'state=4\ncontrols=1\npid=" + pid + "\n" + identity + "' > " + Quoted(status)), 0);

  platform::ServiceStatus reported;
  EXPECT_EQ(platform::ControlService(service.Get(), platform::kServiceControlStop, &reported), kErrorServiceNotActive);
  EXPECT_EQ(reported.currentState, platform::kServiceStopped);
  EXPECT_TRUE(victim->Kill()) << "the process was signalled";
  (void)victim->Wait();
  EXPECT_EQ(victim->TerminatingSignal(), 9);
  EXPECT_TRUE(reports.Has("Ignored the service status file " + status.string() +
                          ": refused: it belongs to user 65534 (nobody), not to the system account\n"))
      << reports.All();
}

// A named mutex's lock file that nobody put into a run/mutex open to
// everyone (to hold it, and so every process that waits for the mutex) is
// not used.
TEST_F(SharedRootTest, APlantedMutexLockFileIsNotUsed) {
  Reports reports;
  fs::path mutexes = root_.Path() / "run" / "mutex";
  OpenToEveryone(mutexes);
  ASSERT_EQ(AsNobody("touch " + Quoted(mutexes / "Planted.lock")), 0);
  Win32Error error = 0;
  EXPECT_EQ(platform::CreateNamedMutex(L"Planted", &error), nullptr);
  EXPECT_EQ(error, kErrorAccessDenied);
  EXPECT_TRUE(reports.Has("Cannot use the lock file " + (mutexes / "Planted.lock").string() +
                          " of a named mutex: refused: it belongs to user 65534 (nobody)\n"))
      << reports.All();
}

// A user without a hive reads an empty one; a write is refused with a
// message that names the account and the remedy, which then works.
TEST_F(SharedRootTest, AUserWithoutAHiveIsToldHowToGetOne) {
  NobodysChild child;
  fs::path output = child.Scratch() / "refusal";
  ASSERT_TRUE(test::GiveTo(child.Scratch(), L"nobody"));
  EXPECT_EQ(child.Run({L"registry-refusal", L"Software\\Kestrix", output.wstring()}),
            static_cast<int>(kErrorAccessDenied));
  std::string refusal = test::ReadFileText(output);
  EXPECT_NE(refusal.find("the registry hive of user 65534 (nobody) does not exist, and only the system account may "
                         "make it: run \"wlreg addhive S-1-22-1-65534\" as root"),
            std::string::npos)
      << refusal;

  std::wstring out;
  cli::Console console{[&](std::string_view bytes) { return out += platform::WideFromUtf8(bytes), true; },
                       [&](std::wstring_view text) { out += text; }, [] { return std::optional<std::string>(); }};
  ASSERT_EQ(RunRegistryTool({L"addhive", L"nobody"}, console), cli::kExitDone) << platform::Utf8FromWide(out);
  EXPECT_EQ(child.Run({L"registry-refusal", L"Software\\Kestrix", output.wstring()}), 0);
  EXPECT_EQ(test::ReadFileText(output), "");
}

}  // namespace
}  // namespace wl
