#include "diagnostics/trace_flags.h"

#include <optional>
#include <vector>

#include "diagnostics/clock.h"
#include "diagnostics/error_text.h"
#include "diagnostics/refreshed_value.h"
#include "diagnostics/registry_key.h"
#include "diagnostics/write_log.h"
#include "platform/account.h"
#include "platform/system.h"

namespace wl {
namespace {

constexpr std::uint16_t kDefaultTraceLevel = 4;

// The flag set; a refresh that fails stores 0.
RefreshedValue& FlagCache() {
  static RefreshedValue cache(kSettingStaleAfterSeconds);
  return cache;
}

// "OpenKey failed! {}" and "ReadValue failed! {}" carry the system's text
// for the thread's last error, at Debug level: a missing logged-on user is
// normal on a machine where nobody has logged on.
void ReportLoggedOnUserFailure(std::wstring_view format) {
  std::wstring text = SafeFormat(format, SystemMessageText(platform::GetLastSystemError()));
  WriteLog(kDefaultLogSource, kLevelDebug, text);
}

}  // namespace

std::uint32_t GetTraceFlags() {
  return FlagCache().Get([] { return std::optional<std::uint32_t>(ReadUserSettingDword(L"TraceFlags")); });
}

bool IsTraceFlagSet(std::uint32_t bit) {
  if (bit == kTraceFlagAlways) return true;
  return ((GetTraceFlags() >> (bit & 31u)) & 1u) != 0;
}

std::uint32_t ReadUserSettingDword(std::wstring_view valueName) {
  std::wstring userName = platform::GetCurrentUserName().ValueOr({});

  std::uint32_t value = 0;
  if (userName == L"SYSTEM") {
    // The system account has no settings of its own: read those of the user
    // who is logged on, from that user's hive.
    std::wstring loggedOnUser;
    {
      RegistryKey productKey(false);
      if (productKey.Open(platform::kHKeyLocalMachine, kProductKey) != kErrorSuccess) {
        ReportLoggedOnUserFailure(L"OpenKey failed! {}");
        return 0;
      }
      if (productKey.ReadString(L"LoggedOnUser", loggedOnUser, L"") != kErrorSuccess) {
        ReportLoggedOnUserFailure(L"ReadValue failed! {}");
        return 0;
      }
    }
    std::wstring sid;
    if (GetUserSidString(loggedOnUser, sid) != kErrorSuccess) return 0;
    RegistryKey userKey(false);
    if (userKey.Open(platform::kHKeyUsers, Format(L"{}\\{}", sid, kCurrentInstallKey)) == kErrorSuccess) {
      (void)userKey.ReadDword(valueName, value);
    }
    return value;
  }

  RegistryKey userKey(false);
  if (userKey.Open(platform::kHKeyCurrentUser, kCurrentInstallKey) == kErrorSuccess) {
    (void)userKey.ReadDword(valueName, value);
  }
  return value;
}

Win32Error GetUserSidString(std::wstring_view accountName, std::wstring& out) {
  out.clear();
  auto sid = platform::LookupAccountSid(accountName);
  if (!sid) {
    WriteLog(kDefaultLogSource, kLevelError, SafeFormat(sid.ErrorCode(), L"LookupAccountName failed!"));
    return sid.ErrorCode();
  }
  auto text = platform::ConvertSidToString(*sid);
  if (!text) {
    WriteLog(kDefaultLogSource, kLevelError, SafeFormat(text.ErrorCode(), L"ConvertSidToStringSid failed!"));
    return text.ErrorCode();
  }
  out = std::move(*text);
  return kErrorSuccess;
}

std::uint16_t ReadTraceLevel() {
  std::uint16_t level = kDefaultTraceLevel;
  RegistryKey key(false);
  if (key.Open(platform::kHKeyLocalMachine, kProductKey) == kErrorSuccess) (void)key.ReadEnum(L"TraceLevel", level);
  return level;
}

}  // namespace wl
