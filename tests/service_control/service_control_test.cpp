// The service control manager's contract, on both builds: the Windows run
// against Wine's service manager keeps the Linux stand-in's codes honest.
#include "service_control/service_control.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/system.h"
#include "service_control/service_run.h"
#include "tests/support/test_support.h"

namespace wl {
namespace {

using namespace platform;

TEST(ServiceControl, InstallOpenStopAndDeleteWithWindowsCodes) {
  test::TempRoot root;
  test::MachineStateLock lock;
  std::wstring name = L"ScribeTestService" + std::to_wstring(GetCurrentProcessId());
  ServiceHandle manager;
  ASSERT_EQ(OpenSCManagerW(kScManagerAllAccess, manager.Receive()), kErrorSuccess);

  ServiceHandle missing;
  EXPECT_EQ(OpenServiceW(manager.Get(), name, kServiceQueryConfig, missing.Receive()), kErrorServiceDoesNotExist);
  EXPECT_EQ(missing.Get(), nullptr);

  ServiceConfig config;
  config.serviceType = kServiceWin32OwnProcess;
  config.startType = kServiceDemandStart;
  config.errorControl = kServiceErrorNormal;
  config.binaryPathName = L"\"" + test::ProgramPath(L"scribe_test_child") + L"\" service";
  config.dependencies = {L"RPCSS", L"Other"};
  ServiceHandle created, again;
  ASSERT_EQ(CreateServiceW(manager.Get(), name, config, kServiceAllAccess, created.Receive()), kErrorSuccess);
  EXPECT_EQ(CreateServiceW(manager.Get(), name, config, kServiceAllAccess, again.Receive()), kErrorServiceExists);

  ServiceHandle opened;
  ASSERT_EQ(
      OpenServiceW(manager.Get(), name, kServiceQueryConfig | kServiceQueryStatus | kServiceStop, opened.Receive()),
      kErrorSuccess);
  ServiceConfig read;
  ASSERT_EQ(QueryServiceConfigW(opened.Get(), &read), kErrorSuccess);
  EXPECT_EQ(read.binaryPathName, config.binaryPathName);
  // Wine's QueryServiceConfigW answers neither the dependencies nor the
  // display name that it stored (DependOnService is in the service's key).
  if (!test::OnWindows()) {
    EXPECT_EQ(read.dependencies, config.dependencies);
    EXPECT_EQ(read.displayName, name);
  }
  EXPECT_EQ(read.serviceStartName, L"LocalSystem");
  ServiceStatus status;
  ASSERT_EQ(QueryServiceStatus(opened.Get(), &status), kErrorSuccess);
  EXPECT_EQ(status.currentState, kServiceStopped);
  EXPECT_EQ(ControlService(opened.Get(), kServiceControlStop, &status), kErrorServiceNotActive);
  // The handle was not opened for deletion.
  EXPECT_EQ(DeleteService(opened.Get()), kErrorAccessDenied);

  ASSERT_EQ(DeleteService(created.Get()), kErrorSuccess);
  EXPECT_EQ(DeleteService(created.Get()), kErrorServiceMarkedForDelete);
  (void)CloseServiceHandle(*created.Receive());
  *created.Receive() = nullptr;
  (void)CloseServiceHandle(*opened.Receive());
  *opened.Receive() = nullptr;
  ServiceHandle gone;
  EXPECT_EQ(OpenServiceW(manager.Get(), name, kServiceQueryConfig, gone.Receive()), kErrorServiceDoesNotExist);
}

// A service whose program writes the name of the user it runs as.
class WhoAmIService {
 public:
  explicit WhoAmIService(const std::filesystem::path& report, std::wstring account = {}) {
    EXPECT_EQ(OpenSCManagerW(kScManagerAllAccess, manager_.Receive()), 0u);
    ServiceConfig config;
    config.serviceType = kServiceWin32OwnProcess;
    config.startType = kServiceDemandStart;
    // It stays a moment: a program that has ended before its starter looks
    // at it never started, for the service control.
    config.binaryPathName = L"/bin/sh -c \"id -un >" + report.wstring() + L"; sleep 1\"";
    config.serviceStartName = std::move(account);
    EXPECT_EQ(CreateServiceW(manager_.Get(), L"WhoAmI", config, kServiceAllAccess, service_.Receive()), 0u);
  }
  ~WhoAmIService() { (void)DeleteService(service_.Get()); }

 private:
  ServiceHandle manager_, service_;
};

// The stand-in runs a service as the local system account of the machine
// root, never as whoever happens to ask: started by root it runs as the
// root's owner (the service's account); only root and the owner may start it.
TEST(ServiceControl, AServiceRunsAsTheSystemAccountOfTheRoot) {
  if (test::OnWindows()) GTEST_SKIP() << "Windows' service manager logs the service on itself";
  test::TempRoot root;
  test::SharedProgram wlsc(L"wlsc");
  std::filesystem::path report = wlsc.Folder() / "report";
  WhoAmIService service(report);
  if (!test::RunAs(L"nobody", wlsc.Path(), {L"query", L"WhoAmI"}))
    GTEST_SKIP() << "only root can start a process as another user";
  EXPECT_EQ(test::RunAs(L"nobody", wlsc.Path(), {L"query", L"WhoAmI"}), 0) << "an ordinary user may look";
  EXPECT_EQ(test::RunAs(L"nobody", wlsc.Path(), {L"start", L"WhoAmI"}), 1) << "but may not start it";
  EXPECT_FALSE(std::filesystem::exists(report));

  ASSERT_TRUE(test::GiveTo(root.Path(), L"nobody"));
  ASSERT_EQ(StartInstalledService(L"WhoAmI"), 0u);
  ASSERT_TRUE(test::WaitForPath(report));
  test::WaitUntil([&] { return !test::ReadFileText(report).empty(); }, std::chrono::seconds(5));
  EXPECT_EQ(test::ReadFileText(report), "nobody\n") << "root starts it as the owner of the root";
  std::filesystem::remove(report);
  // Once the first program has ended, the owner starts it as itself.
  EXPECT_TRUE(test::WaitUntil(
      [&] {
        return test::RunAs(L"nobody", wlsc.Path(), {L"start", L"WhoAmI"}) == 0;
      },
      std::chrono::seconds(5)));
  EXPECT_TRUE(test::WaitForPath(report));
}

TEST(ServiceControl, AServiceOfAnotherAccountIsNotStarted) {
  if (test::OnWindows()) GTEST_SKIP() << "Windows' service manager logs on as any account with its password";
  test::TempRoot root;
  test::TempFolder folder;
  WhoAmIService service(folder.Path() / "report", L".\\someone");
  EXPECT_EQ(StartInstalledService(L"WhoAmI"), 1057u);
}

}  // namespace
}  // namespace wl
