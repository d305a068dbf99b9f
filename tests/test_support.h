// Shared helpers of the test suites: a temporary machine root, file bytes,
// and the child program that process-level tests start.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"

namespace wl::test {

// Points the machine root ($WAYLINE_ROOT) at a fresh temporary folder for
// the lifetime of the object and removes the folder afterwards.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::optional<std::wstring> previous_;
};

// A fresh, empty temporary folder, removed with the object.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path);
std::string ReadFileText(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// The child program built next to the test program.
std::wstring ChildProgramPath();
// Starts the child with a command name and its arguments; the child's
// environment (and so its machine root) is this process's.
std::unique_ptr<platform::ChildProcess> StartChild(const std::vector<std::wstring>& arguments);
// Starts the child and waits for its exit code (-1000 when it could not start).
int RunChild(const std::vector<std::wstring>& arguments);

// Waits until the path exists, checking every few milliseconds; false when it
// has not appeared after a minute (a child that died or hung). For handshakes
// between a test and its child, never for measuring time.
bool WaitForPath(const std::filesystem::path& path);

// Commands of the child program: each tests/child_*.cpp registers its own
// with a static ChildCommand object. The arguments exclude the command name.
using ChildMain = int (*)(const std::vector<std::wstring>& arguments);
struct ChildCommand {
  ChildCommand(const wchar_t* name, ChildMain main);
};
ChildMain FindChildCommand(const std::wstring& name);

}  // namespace wl::test
