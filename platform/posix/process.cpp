// Child processes with posix_spawn: the program gets this process's
// environment and standard streams, nothing else (every descriptor of the
// layer is close-on-exec).
#include "platform/process.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "platform/posix/account_posix.h"
#include "platform/posix/detached_process.h"
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
      signal_ = result == id_ && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    return exitCode_;
  }

  [[nodiscard]] std::uint32_t Id() const override { return static_cast<std::uint32_t>(id_); }
  [[nodiscard]] int TerminatingSignal() const override { return signal_; }

  bool Kill() override { return !waited_ && kill(id_, SIGKILL) == 0; }

 private:
  pid_t id_;
  bool waited_ = false;
  int exitCode_ = -1;
  int signal_ = 0;
};

}  // namespace

std::unique_ptr<ChildProcess> StartProcess(std::wstring_view program, const std::vector<std::wstring>& arguments,
                                           Win32Error* error) {
  std::string path = Utf8FromWide(program);
  std::vector<std::string> narrow;
  narrow.reserve(arguments.size() + 1);
  narrow.push_back(path);
  for (const auto& argument : arguments) narrow.push_back(Utf8FromWide(argument));
  std::vector<char*> argv;
  argv.reserve(narrow.size());

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

std::unique_ptr<ChildProcess> StartProcessAsUser(std::wstring_view program, const std::vector<std::wstring>& arguments,
                                                 std::wstring_view account, Win32Error* error) {
  auto fail = [error](Win32Error code) -> std::unique_ptr<ChildProcess> {
    if (error != nullptr) *error = code;
    return nullptr;
  };
  if (geteuid() != 0) return fail(kErrorAccessDenied);
  std::string name = Utf8FromWide(account);
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return fail(kErrorNoneMapped);
  }
  posix::AccountIdentity identity{entry.pw_uid, entry.pw_gid, std::vector<gid_t>(64)};
  int groupCount = static_cast<int>(identity.groups.size());
  if (getgrouplist(name.c_str(), entry.pw_gid, identity.groups.data(), &groupCount) < 0) {
    identity.groups.resize(static_cast<std::size_t>(groupCount));
    getgrouplist(name.c_str(), entry.pw_gid, identity.groups.data(), &groupCount);
  }
  identity.groups.resize(static_cast<std::size_t>(groupCount));

  std::string path = Utf8FromWide(program);
  std::vector<std::string> narrow{path};
  for (const auto& argument : arguments) narrow.push_back(Utf8FromWide(argument));
  std::vector<char*> argv;
  argv.reserve(narrow.size());

  for (auto& argument : narrow) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t id = 0;
  if (int failure = posix::StartProcessAs(argv.data(), environ, identity, false, &id)) {
    return fail(posix::Win32FromErrno(failure));
  }
  if (error != nullptr) *error = kErrorSuccess;
  return std::make_unique<PosixChildProcess>(id);
}

}  // namespace wl::platform

namespace wl::platform::posix {
namespace {

void ReapInBackground(pid_t child, std::function<void()> ended) {
  std::thread([child, ended = std::move(ended)] {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (ended) ended();
  }).detach();
}

}  // namespace

int StartProcessAs(char* const argv[], char* const envp[], const AccountIdentity& account, bool detached, pid_t* pid) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return errno;
  pid_t id = fork();
  if (id < 0) {
    int failure = errno;
    close(report[0]);
    close(report[1]);
    return failure;
  }
  if (id == 0) {
    // Only calls that are safe in the child of a threaded process.
    int failure = 0;
    if (detached) {
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      setsid();
      int null = open("/dev/null", O_RDWR);
      if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0 || chdir("/") != 0) failure = errno;
    }
    if (failure == 0) failure = SwitchToAccount(account);
    if (failure == 0) {
      execve(argv[0], argv, envp);
      failure = errno;
    }
    [[maybe_unused]] ssize_t written = write(report[1], &failure, sizeof failure);
    _exit(127);
  }
  close(report[1]);
  // The report pipe closes on a successful exec; otherwise it carries the
  // errno of the step that failed.
  int failure = 0;
  ssize_t got;
  do {
    got = read(report[0], &failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  if (got == static_cast<ssize_t>(sizeof failure)) {
    while (waitpid(id, nullptr, 0) < 0 && errno == EINTR) {
    }
    return failure;
  }
  *pid = id;
  return 0;
}

int StartDetachedProcess(char* const argv[], char* const envp[], pid_t* pid, std::function<void()> ended,
                         const AccountIdentity* account) {
  if (account != nullptr) {
    if (int failure = StartProcessAs(argv, envp, *account, true, pid)) return failure;
    ReapInBackground(*pid, std::move(ended));
    return 0;
  }
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  for (int stream = 0; stream < 3; ++stream) {
    posix_spawn_file_actions_addopen(&actions, stream, "/dev/null", stream == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
  int result = posix_spawn(pid, argv[0], &actions, &attributes, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (result != 0) return result;
  ReapInBackground(*pid, std::move(ended));
  return 0;
}

}  // namespace wl::platform::posix
