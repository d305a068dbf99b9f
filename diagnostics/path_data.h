// Well-known folders and module paths, found once per process and cached.
// Each accessor returns a copy, or empty text when the location cannot be
// found (or the PathData singleton is gone at process exit); a location not
// found is looked for again on the next request. Any thread may call these.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace wl {

// Held by Singleton<PathData>; use the free accessors below.
class PathData {
 public:
  virtual ~PathData() = default;

  // The executable's folder with its trailing separator, or the registry
  // value Path when the executable runs from the System folder or below it.
  std::wstring InstallFolder();
  // <ProgramData>\Kestrix\Wayline; creates Kestrix, Wayline and Wayline\Data
  // when missing. Reports "Failed to get Program Data folder".
  std::wstring DataFolder();
  // Where this process writes its own files (the daily fallback file):
  // the data folder for a process that administers the machine, else
  // Kestrix\Wayline in the user's own data (platform/known_folder.h's
  // OwnData), created when missing. Reports "Failed to get Program Data
  // folder".
  std::wstring OwnFilesFolder();
  // The System folder. Reports "Failed to get System folder".
  std::wstring SystemFolder();
  // The full path of the process's executable (at most 259 characters).
  std::wstring ExecutablePath();
  // The full path of the module that holds this library (at most 259).
  std::wstring ModulePath();

 private:
  std::recursive_mutex lock_;
  std::wstring installFolder_;
  std::wstring dataFolder_;
  std::wstring ownFilesFolder_;
  std::wstring systemFolder_;
  std::wstring executablePath_;
  std::wstring modulePath_;
};

std::wstring GetInstallFolder();
std::wstring GetDataFolder();
std::wstring GetOwnFilesFolder();
std::wstring GetSystemFolder();
std::wstring GetExecutablePath();
std::wstring GetModulePath();

// Creates the data folder as GetDataFolder does (for an installer, which
// reports nothing) and stores its path in *folder; returns S_OK or the
// failure of finding the common application data folder. The vendor and
// data folders that it makes get the machine's access rules.
HResult MakeDataFolder(std::wstring* folder);
// Gives the vendor folder and the data folder the machine's access rules
// (platform/access_rules.h) also when they existed already: registration,
// which an administrator runs, takes them back from a user who made them
// first. S_OK or the first failure.
HResult ProtectDataFolder();
// The path that GetDataFolder gives, found without creating anything, for
// programs that only read the folder (it may not exist); empty when the
// common application data folder cannot be found. Not cached.
std::wstring LocateDataFolder();

// The install-folder rule on given paths: the folder part of executablePath
// (trailing separator kept), unless it contains systemFolder as a substring
// (letters A-Z compared without case, an empty systemFolder always counts),
// in which case HKLM\Software\Kestrix\Wayline\CurrentInstall\Path as stored.
std::wstring InstallFolderForExecutable(std::wstring_view executablePath, std::wstring_view systemFolder);

}  // namespace wl
