// The registration side of the service host: the program's registration
// (the AppID and the event-log source of script 101, the class of script
// 102, the type library, the service) and the command line that chooses
// between registering and starting (CScribeHostModule then starts).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/registrar.h"
#include "platform/types.h"

namespace wl {

inline constexpr std::wstring_view kServiceName = L"ScribeHost";
inline constexpr std::wstring_view kAppId = L"{D91C4E72-8A35-4B06-A7F9-3E5C20B18D64}";
// The numbers of the two registration scripts among the executable's
// "REGISTRY" resources.
inline constexpr std::uint32_t kAppIdScript = 101;
inline constexpr std::uint32_t kClassScript = 102;

// What the command line asks for.
enum class HostSwitch { kNone, kRegServer, kUnregServer, kRegServerPerUser, kUnregServerPerUser, kService };

// Finds the switch of a whole command line (program path included): a word
// after "-" or "/" anywhere, compared without case, ending at the end, a
// blank or a tab. The first of RegServer, UnregServer, RegServerPerUser and
// UnregServerPerUser from the left wins; only without one of them does
// Service count.
HostSwitch FindHostSwitch(std::wstring_view commandLine);

// The variables that every script run gets: APPID, MODULE (the path with
// each ' doubled, in double quotes) and MODULE_RAW (without the quotes).
std::vector<RegistrarVariable> ScriptVariables(std::wstring_view modulePath);

class ScribeHostRegistration {
 public:
  // modulePath: the executable to register (the running one in the
  // program; tests may name another).
  explicit ScribeHostRegistration(std::wstring modulePath);

  // Runs the registration that the command line asks for and stores its
  // result in *result; returns whether the command line asks to start the
  // server instead.
  bool ParseCommandLine(std::wstring_view commandLine, HResult* result);

  // Registration goes to the calling user's classes from now on (script
  // 102 and the type library; script 101's HKLM part and LocalService stay
  // machine-wide).
  void SetPerUser(bool perUser) { perUser_ = perUser; }

  // The steps of each switch; each returns S_OK or the first failure.
  HResult RegisterAppId(bool asService);
  HResult UnregisterAppId();
  HResult RegisterServer();
  HResult UnregisterServer();
  // What an installed product gives the machine besides its registration:
  // the product's key HKLM\Software\Kestrix\Wayline, created empty when
  // it is missing (so that every setting takes its documented default;
  // values an operator set stay as they are), and the data folder. Returns
  // S_OK or the failure of creating the key.
  HResult RegisterConfiguration();
  // Removes the product's key (and HKLM\Software\Kestrix) only when it is
  // empty, as RegisterConfiguration leaves it: an operator's settings stay,
  // and so do the data folder and the logs.
  void UnregisterConfiguration();

  // Installs the service when it is not installed; false after a failure
  // (shown in a message box).
  bool Install();
  // Stops and removes the service when it is installed; false when it
  // could not be removed (shown in a message box).
  bool Uninstall();
  bool IsInstalled();

  // Runs one of the executable's "REGISTRY" scripts against the registry.
  // Returns S_OK, the registrar's failure, or HRESULT_FROM_WIN32(1813) when
  // the executable has no such script.
  HResult UpdateRegistryFromResource(std::uint32_t id, RegistrarMode mode);

  // Why the last script run failed, for people (empty when it did not).
  [[nodiscard]] const std::wstring& LastScriptFailure() const { return lastFailure_; }

 private:
  HResult RegisterSequence(bool asService);
  HResult UnregisterSequence();
  void Show(std::uint32_t resource, std::wstring_view text);

  std::wstring modulePath_;
  bool perUser_ = false;
  std::wstring lastFailure_;
};

}  // namespace wl
