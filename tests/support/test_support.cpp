#include "tests/support/test_support.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <map>
#include <random>

#include "platform/file_system.h"
#include "platform/system.h"
#include "platform/text_file.h"

namespace wl::test {
namespace {

std::filesystem::path MakeTempFolder() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  auto base = std::filesystem::temp_directory_path();
  for (;;) {
    auto candidate = base / ("scribe-test-" + std::to_string(platform::GetCurrentProcessId()) + "-" +
                             std::to_string(counter++) + "-" + std::to_string(random() % 100000));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) return candidate;
  }
}

std::map<std::wstring, ChildMain>& ChildCommands() {
  static std::map<std::wstring, ChildMain> commands;
  return commands;
}

}  // namespace

TempRoot::TempRoot(std::size_t length)
    : top_(MakeTempFolder()), path_(top_), previous_(platform::GetEnvVar(L"WAYLINE_ROOT")) {
  // Folders of at most 100 characters, none of them a single one.
  for (std::size_t size = path_.wstring().size(); size + 1 < length; size = path_.wstring().size()) {
    std::size_t name = std::min<std::size_t>(100, length - size - 1);
    if (length - size - 1 - name == 1) --name;
    path_ /= std::wstring(name, L'r');
  }
  std::filesystem::create_directories(path_);
  platform::SetEnvVar(L"WAYLINE_ROOT", path_.wstring());
}

TempRoot::~TempRoot() {
  if (previous_) {
    platform::SetEnvVar(L"WAYLINE_ROOT", *previous_);
  } else {
    platform::UnsetEnvVar(L"WAYLINE_ROOT");
  }
  std::error_code error;
  std::filesystem::remove_all(top_, error);
}

TempFolder::TempFolder() : path_(MakeTempFolder()) {}

TempFolder::~TempFolder() {
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

bool HeldOpen(const std::filesystem::path& path) {
  int fd = -1;
  int error = platform::OpenFile(&fd, path.wstring(), platform::kOWronly | platform::kOAppend | platform::kOBinary,
                                 platform::kShDenyNo, platform::kSIRead | platform::kSIWrite);
  if (error == 0) (void)platform::CloseFile(fd, &error);
  return error == platform::kErrnoEacces;
}

std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ReadFileText(const std::filesystem::path& path) {
  auto bytes = ReadFileBytes(path);
  return {bytes.begin(), bytes.end()};
}

void WriteFileBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::wstring ProgramPath(std::wstring_view name) {
  std::wstring self = platform::GetExecutableFileName();
  auto cut = self.size();
  while (cut > 0 && !platform::IsPathSeparator(self[cut - 1])) --cut;
  return self.substr(0, cut) + std::wstring(name) + platform::kExecutableSuffix;
}

std::unique_ptr<platform::ChildProcess> StartChild(const std::vector<std::wstring>& arguments,
                                                   std::wstring_view program) {
  Win32Error error = 0;
  return platform::StartProcess(ProgramPath(program), arguments, &error);
}

int RunChild(const std::vector<std::wstring>& arguments, std::wstring_view program) {
  auto child = StartChild(arguments, program);
  return child ? child->Wait() : -1000;
}

int Shell(const std::string& command, std::string* output) {
  TempFolder folder;
  std::filesystem::path input = folder.Path() / "input";
  std::filesystem::path result = folder.Path() / "output";
  WriteFileBytes(input, {});
  int code =
      RunChild({L"redirect", input.wstring(), result.wstring(), L"/bin/sh", L"-c", platform::WideFromUtf8(command)});
  if (output != nullptr) *output = ReadFileText(result);
  return code;
}

std::unique_ptr<platform::ChildProcess> StartAs(std::wstring_view account, const std::filesystem::path& program,
                                                const std::vector<std::wstring>& arguments) {
  Win32Error error = 0;
  return platform::StartProcessAsUser(program.wstring(), arguments, account, &error);
}

std::optional<int> RunAs(std::wstring_view account, const std::filesystem::path& program,
                         const std::vector<std::wstring>& arguments) {
  auto child = StartAs(account, program, arguments);
  if (!child) return std::nullopt;
  return child->Wait();
}

SharedProgram::SharedProgram(std::wstring_view name)
    : program_(folder_.Path() / std::filesystem::path(ProgramPath(name)).filename()) {
  std::filesystem::copy_file(ProgramPath(name), program_);
  std::filesystem::permissions(folder_.Path(), std::filesystem::perms::all);
}

bool GiveTo(const std::filesystem::path& folder, std::wstring_view account) {
  Win32Error error = 0;
  auto chown = platform::StartProcess(L"/bin/chown", {L"-R", std::wstring(account), folder.wstring()}, &error);
  return chown && chown->Wait() == 0;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const std::int64_t end = platform::SteadyClockNanoseconds() + timeout.count() * 1'000'000;
  for (;;) {
    if (done()) return true;
    if (platform::SteadyClockNanoseconds() >= end) return done();
    platform::SleepMilliseconds(5);
  }
}

bool WaitForPath(const std::filesystem::path& path) {
  return WaitUntil([&path] { return platform::GetPathAttributes(path.wstring()).HasValue(); });
}

ChildCommand::ChildCommand(const wchar_t* name, ChildMain main) { ChildCommands()[name] = main; }

ChildMain FindChildCommand(const std::wstring& name) {
  auto found = ChildCommands().find(name);
  return found == ChildCommands().end() ? nullptr : found->second;
}

}  // namespace wl::test
