#include "diagnostics/path_data.h"

#include <algorithm>
#include <memory>

#include "diagnostics/error_text.h"
#include "diagnostics/registry_key.h"
#include "diagnostics/singleton.h"
#include "diagnostics/write_log.h"
#include "platform/access_rules.h"
#include "platform/file_system.h"
#include "platform/known_folder.h"
#include "platform/system.h"

namespace wl {
namespace {

// GetModuleFileNameW fills a buffer of 260 characters, terminator included.
constexpr std::size_t kModulePathLimit = 259;

wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool ContainsIgnoringAsciiCase(std::wstring_view text, std::wstring_view part) {
  auto found = std::search(text.begin(), text.end(), part.begin(), part.end(),
                           [](wchar_t a, wchar_t b) { return AsciiLower(a) == AsciiLower(b); });
  return found != text.end() || part.empty();
}

// Creates the folder when it is missing, with the machine's access rules. A
// failure is not examined: the folder's users find out when they open files
// in it. An existence test that fails for another reason than absence also
// leads to the attempt.
void EnsureFolder(const std::wstring& path) {
  if (platform::GetPathAttributes(path).HasValue()) return;
  if (platform::MakeDirectory(path) == kErrorSuccess) {
    (void)platform::ProtectMachineObject(platform::MachineObject::kFolder, path);
  }
}

constexpr std::wstring_view kVendorFolder = L"Kestrix";

// <ProgramData>\Kestrix\Wayline.
std::wstring DataFolderIn(const std::wstring& programData) {
  return platform::JoinPath(platform::JoinPath(programData, kVendorFolder), L"Wayline");
}

std::shared_ptr<PathData> Instance() {
  return Singleton<PathData>::GetInstance([] { return new PathData(); });
}

template <typename Member>
std::wstring Ask(Member member) {
  auto instance = Instance();
  return instance ? ((*instance).*member)() : std::wstring();
}

}  // namespace

std::wstring InstallFolderForExecutable(std::wstring_view executablePath, std::wstring_view systemFolder) {
  std::size_t cut = executablePath.size();
  while (cut > 0 && !platform::IsPathSeparator(executablePath[cut - 1])) --cut;
  std::wstring folder(executablePath.substr(0, cut));
  if (ContainsIgnoringAsciiCase(folder, systemFolder)) {
    // A program in the System folder is not where the product is installed.
    folder = ReadMachineString(kCurrentInstallKey, L"Path", L"");
  }
  return folder;
}

std::wstring PathData::InstallFolder() {
  std::lock_guard lock(lock_);
  if (installFolder_.empty()) installFolder_ = InstallFolderForExecutable(ExecutablePath(), SystemFolder());
  return installFolder_;
}

std::wstring PathData::DataFolder() {
  std::lock_guard lock(lock_);
  if (dataFolder_.empty()) {
    std::wstring product;
    HResult result = MakeDataFolder(&product);
    if (result < 0) {
      WriteLog(kDefaultLogSource, kLevelError,
               SafeFormat(static_cast<std::uint32_t>(result), L"Failed to get Program Data folder"));
      return {};
    }
    dataFolder_ = std::move(product);
  }
  return dataFolder_;
}

std::wstring PathData::OwnFilesFolder() {
  std::lock_guard lock(lock_);
  if (ownFilesFolder_.empty()) {
    auto found = platform::GetKnownFolderPath(platform::KnownFolder::OwnData, true);
    if (!found) {
      WriteLog(kDefaultLogSource, kLevelError, SafeFormat(found.ErrorCode(), L"Failed to get Program Data folder"));
      return {};
    }
    const std::wstring& ownData = *found;
    auto programData = platform::GetKnownFolderPath(platform::KnownFolder::ProgramData, false);
    if (programData && *programData == ownData) {
      // The system account's own files go to the data folder itself.
      return DataFolder();
    }
    std::wstring product = DataFolderIn(ownData);
    EnsureFolder(platform::JoinPath(ownData, kVendorFolder));
    EnsureFolder(product);
    ownFilesFolder_ = std::move(product);
  }
  return ownFilesFolder_;
}

std::wstring PathData::SystemFolder() {
  std::lock_guard lock(lock_);
  if (systemFolder_.empty()) {
    auto found = platform::GetKnownFolderPath(platform::KnownFolder::System, false);
    if (found) {
      systemFolder_ = std::move(*found);
    } else {
      WriteLog(kDefaultLogSource, kLevelError, SafeFormat(found.ErrorCode(), L"Failed to get System folder"));
    }
  }
  return systemFolder_;
}

std::wstring PathData::ExecutablePath() {
  std::lock_guard lock(lock_);
  if (executablePath_.empty()) executablePath_ = platform::GetExecutableFileName().substr(0, kModulePathLimit);
  return executablePath_;
}

std::wstring PathData::ModulePath() {
  std::lock_guard lock(lock_);
  if (modulePath_.empty()) modulePath_ = platform::GetLibraryModuleFileName().substr(0, kModulePathLimit);
  return modulePath_;
}

std::wstring GetInstallFolder() { return Ask(&PathData::InstallFolder); }
std::wstring GetDataFolder() { return Ask(&PathData::DataFolder); }
std::wstring GetOwnFilesFolder() { return Ask(&PathData::OwnFilesFolder); }
std::wstring GetSystemFolder() { return Ask(&PathData::SystemFolder); }
std::wstring GetExecutablePath() { return Ask(&PathData::ExecutablePath); }
std::wstring GetModulePath() { return Ask(&PathData::ModulePath); }

HResult MakeDataFolder(std::wstring* folder) {
  auto found = platform::GetKnownFolderPath(platform::KnownFolder::ProgramData, true);
  if (!found) return found.ErrorCode();
  const std::wstring& programData = *found;
  std::wstring product = DataFolderIn(programData);
  EnsureFolder(platform::JoinPath(programData, kVendorFolder));
  EnsureFolder(product);
  // Inherits the data folder's rules.
  (void)platform::MakeDirectory(platform::JoinPath(product, L"Data"));
  *folder = std::move(product);
  return kSOk;
}

HResult ProtectDataFolder() {
  auto found = platform::GetKnownFolderPath(platform::KnownFolder::ProgramData, false);
  if (!found) return found.ErrorCode();
  const std::wstring& programData = *found;
  for (const std::wstring& folder : {platform::JoinPath(programData, kVendorFolder), DataFolderIn(programData)}) {
    if (Win32Error error = platform::ProtectMachineObject(platform::MachineObject::kFolder, folder)) {
      return HResultFromWin32(error);
    }
  }
  return kSOk;
}

std::wstring LocateDataFolder() {
  auto programData = platform::GetKnownFolderPath(platform::KnownFolder::ProgramData, false);
  return programData ? DataFolderIn(*programData) : std::wstring();
}

}  // namespace wl
