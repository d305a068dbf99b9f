// The service control manager's contract, on both builds: the Windows run
// against Wine's service manager keeps the Linux stand-in's codes honest.
#include "platform/service_control.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/system.h"
#include "tests/library_test_support.h"
#include "tests/test_support.h"

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
  ASSERT_EQ(OpenServiceW(manager.Get(), name, kServiceQueryConfig | kServiceQueryStatus | kServiceStop,
                         opened.Receive()),
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

}  // namespace
}  // namespace wl
