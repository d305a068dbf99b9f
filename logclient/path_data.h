// Well-known folders and module paths, found once per process and cached.
// Each accessor returns a copy, or empty text when the location cannot be
// found (or the PathData singleton is gone at process exit).
#pragma once

#include <mutex>
#include <string>

namespace wl {

class PathData {
 public:
  virtual ~PathData() = default;

  std::wstring InstallFolder();
  std::wstring DataFolder();
  std::wstring SystemFolder();
  std::wstring ExecutablePath();
  std::wstring ModulePath();

 private:
  std::recursive_mutex lock_;
  std::wstring installFolder_;
  std::wstring dataFolder_;
  std::wstring systemFolder_;
  std::wstring executablePath_;
  std::wstring modulePath_;
};

std::wstring GetInstallFolder();
// <ProgramData>\Kestrix\Wayline, creating Kestrix, Wayline and Wayline\Data.
std::wstring GetDataFolder();
std::wstring GetSystemFolder();
std::wstring GetExecutablePath();
std::wstring GetModulePath();

}  // namespace wl
