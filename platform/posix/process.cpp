// Child processes with posix_spawn: the program gets this process's
// environment and standard streams, nothing else (every descriptor of the
// layer is close-on-exec).
#include "platform/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>

#include "platform/posix/errors.h"
#include "platform/text.h"

extern char** environ;

namespace wl::platform {

const wchar_t* const kExecutableSuffix = L"";

namespace {

class PosixChildProcess : public ChildProcess {
 public:
  explicit PosixChildProcess(pid_t id) : id_(id) {}

  // A child that is never waited for is reaped if it has already ended, so
  // that finished children do not linger as zombies.
  ~PosixChildProcess() override {
    if (!waited_) waitpid(id_, nullptr, WNOHANG);
  }

  int Wait() override {
    if (!waited_) {
      int status = 0;
      pid_t result;
      do {
        result = waitpid(id_, &status, 0);
      } while (result < 0 && errno == EINTR);
      waited_ = true;
      exitCode_ = result == id_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return exitCode_;
  }

  std::uint32_t Id() const override { return static_cast<std::uint32_t>(id_); }

  bool Kill() override { return !waited_ && kill(id_, SIGKILL) == 0; }

 private:
  pid_t id_;
  bool waited_ = false;
  int exitCode_ = -1;
};

}  // namespace

std::unique_ptr<ChildProcess> StartProcess(std::wstring_view program,
                                           const std::vector<std::wstring>& arguments,
                                           Win32Error* error) {
  std::string path = Utf8FromWide(program);
  std::vector<std::string> narrow;
  narrow.reserve(arguments.size() + 1);
  narrow.push_back(path);
  for (const auto& argument : arguments) narrow.push_back(Utf8FromWide(argument));
  std::vector<char*> argv;
  for (auto& argument : narrow) argv.push_back(argument.data());
  argv.push_back(nullptr);

  pid_t id = 0;
  int result = posix_spawn(&id, path.c_str(), nullptr, nullptr, argv.data(), environ);
  if (result != 0) {
    if (error != nullptr) *error = posix::Win32FromErrno(result);
    return nullptr;
  }
  if (error != nullptr) *error = kErrorSuccess;
  return std::make_unique<PosixChildProcess>(id);
}

}  // namespace wl::platform
