#include "diagnostics/crash_handler.h"

#include <atomic>
#include <mutex>

#include "diagnostics/error_text.h"
#include "diagnostics/file_version.h"
#include "diagnostics/path_data.h"
#include "diagnostics/registry_key.h"
#include "diagnostics/write_log.h"
#include "platform/file_system.h"
#include "platform/known_folder.h"
#include "platform/system.h"

namespace wl {
namespace {

constexpr std::size_t kPathCapacity = 1024;
// The folder may be as long as any path the system opens (4095 bytes on
// Linux), since it lies under the machine root.
constexpr std::size_t kFolderCapacity = 4096;

// What a dump's name and detail come from, in fixed buffers so that the
// filter reads them without allocating. Two slots: a refresh fills the one
// not in use and then publishes it, so a crash never sees a half-written
// one.
struct DumpSettings {
  wchar_t folder[kFolderCapacity] = {};
  wchar_t program[kPathCapacity] = {};
  wchar_t version[kPathCapacity] = {};
  std::uint32_t dumpType = 0;
  // A folder too long for its buffer: no dump, rather than one in a folder
  // cut short.
  bool folderFits = true;
};

DumpSettings settingsSlots[2];
std::atomic<int> currentSettings{-1};
std::mutex refreshMutex;
wchar_t dumpPath[kFolderCapacity + 2 * kPathCapacity + 32];

// Copies as much of the text as fits; false when it was cut.
template <std::size_t kCapacity>
bool CopyInto(wchar_t (&target)[kCapacity], std::wstring_view text) {
  std::size_t length = std::min(text.size(), kCapacity - 1);
  text.copy(target, length);
  target[length] = L'\0';
  return length == text.size();
}

void FillSettings() {
  // The common application-data folder for the system account, the user's
  // own for anyone else (created when missing, as the flag asks), and the
  // product's folder in it, which is not created: without it there is no
  // dump. A failure leaves the folder empty, so the path starts at the
  // separator.
  std::wstring programData = platform::GetKnownFolderPath(platform::KnownFolder::OwnData, true).ValueOr({});
  std::wstring separator(1, platform::kPathSeparator);
  std::wstring folder = programData + separator + L"Kestrix" + separator + L"Wayline" + separator;
  std::wstring version;
  try {
    version = GetProductVersion();
  } catch (const std::exception&) {
    // The existence check failed for another reason than absence; a crash
    // handler goes on without the version.
  }
  int next = 1 - std::max(currentSettings.load(), 0);
  DumpSettings& slot = settingsSlots[next];
  slot.folderFits = CopyInto(slot.folder, folder);
  platform::PrepareMinidumpFolder(folder);
  CopyInto(slot.program, ProgramNameFromPath(GetExecutablePath()));
  CopyInto(slot.version, version);
  slot.dumpType = ReadDumpType();
  platform::PrepareCrashLocalTime();
  currentSettings.store(next);
}

std::int32_t FilterEntry(const platform::CrashInfo* info) { return OnUnhandledException(info); }

// Appends text to out at *length; false when it does not fit.
bool Append(std::span<wchar_t> out, std::size_t* length, std::wstring_view text) {
  if (out.size() - *length <= text.size()) return false;
  text.copy(out.data() + *length, text.size());
  *length += text.size();
  return true;
}

bool AppendNumber(std::span<wchar_t> out, std::size_t* length, unsigned value, int digits) {
  wchar_t text[8];
  for (int i = digits - 1; i >= 0; --i, value /= 10) text[i] = static_cast<wchar_t>(L'0' + value % 10);
  return Append(out, length, std::wstring_view(text, static_cast<std::size_t>(digits)));
}

}  // namespace

CrashHandlerScope::CrashHandlerScope() { InstallCrashHandlers(*this); }

CrashHandlerScope::~CrashHandlerScope() { RestoreCrashHandlers(*this); }

void InstallCrashHandlers(CrashHandlerScope& scope) {
  RefreshCrashDumpSettings();
  platform::InstallCrashFilter(&FilterEntry);
  platform::InvalidParameterCallback previous = platform::SetInvalidParameterCallback(&InvalidParameterHandler);
  // Installed again (by a second scope, or a second call): ours is not the
  // handler to restore, the one kept before is.
  if (previous != &InvalidParameterHandler) scope.previousHandler = previous;
}

void RestoreCrashHandlers(CrashHandlerScope& scope) {
  if (scope.previousHandler == nullptr) return;
  platform::SetInvalidParameterCallback(scope.previousHandler);
  scope.previousHandler = nullptr;
}

std::int32_t OnUnhandledException(const platform::CrashInfo* info) { return WriteCrashDump(info); }

std::int32_t WriteCrashDump(const platform::CrashInfo* info) {
  LocalTime now = platform::CrashLocalTime();
  if (platform::CrashFilterMayAllocate()) {
    // A crash inside a refresh keeps the settings read before it.
    std::unique_lock lock(refreshMutex, std::try_to_lock);
    if (lock.owns_lock()) FillSettings();
  }
  int slot = currentSettings.load();
  if (slot < 0) return 0;
  const DumpSettings& settings = settingsSlots[slot];
  if (!settings.folderFits) return 0;
  if (FormatCrashDumpPath(dumpPath, settings.folder, settings.program, settings.version, now) == 0) return 0;
  platform::WriteMinidump(dumpPath, settings.dumpType, info);
  return 0;
}

void InvalidParameterHandler(const wchar_t* expression, const wchar_t* function, const wchar_t* file, unsigned int line,
                             std::uintptr_t) {
  if (function != nullptr && file != nullptr && line != 0) {
    WriteLog(kDefaultLogSource, kLevelCritical,
             SafeFormat(L"Invalid parameter detected in function {}. File: {} Line: {}", function, file, line));
  }
  if (expression != nullptr) WriteLog(kDefaultLogSource, kLevelCritical, SafeFormat(L"Expression: {}", expression));
  platform::SleepMilliseconds(250);
  // Still an ordinary context: the dump may use what is true now.
  RefreshCrashDumpSettings();
  platform::RaiseException(kInvalidParameterExceptionCode);
}

std::uint32_t ReadDumpType() {
  RegistryKey key(false);
  std::uint32_t value = 0;
  if (key.Open(platform::kHKeyLocalMachine, kProductKey) != kErrorSuccess) return 0;
  return key.ReadDword(L"DumpType", value) == kErrorSuccess ? value : 0;
}

std::wstring GetProductVersion() {
  std::wstring version;
  ReadFileVersionString(platform::JoinPath(GetInstallFolder(), L"Wayline.exe"), L"ProductVersion", version);
  return version;
}

void RefreshCrashDumpSettings() {
  std::lock_guard lock(refreshMutex);
  FillSettings();
}

std::size_t FormatCrashDumpPath(std::span<wchar_t> out, std::wstring_view folder, std::wstring_view program,
                                std::wstring_view version, const LocalTime& time) {
  std::size_t length = 0;
  bool fits = !out.empty() && Append(out, &length, folder) && Append(out, &length, program) &&
              Append(out, &length, L"_") && Append(out, &length, version) && Append(out, &length, L"_") &&
              AppendNumber(out, &length, time.year, 4) && Append(out, &length, L"_") &&
              AppendNumber(out, &length, time.month, 2) && Append(out, &length, L"_") &&
              AppendNumber(out, &length, time.day, 2) && Append(out, &length, L"_") &&
              AppendNumber(out, &length, time.hour, 2) && Append(out, &length, L"_") &&
              AppendNumber(out, &length, time.minute, 2) && Append(out, &length, L"_") &&
              AppendNumber(out, &length, time.second, 2) && Append(out, &length, L".dmp");
  if (!fits) return 0;
  out[length] = L'\0';
  return length;
}

std::wstring_view ProgramNameFromPath(std::wstring_view path) {
  std::size_t start = path.size();
  while (start > 0 && !platform::IsPathSeparator(path[start - 1])) --start;
  std::wstring_view name = path.substr(start);
  std::size_t dot = name.rfind(L'.');
  return dot == std::wstring_view::npos ? name : name.substr(0, dot);
}

}  // namespace wl
