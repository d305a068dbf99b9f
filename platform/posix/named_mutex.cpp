// Named mutexes on Linux: an exclusive flock on <root>/run/mutex/<name>.lock
// for the system account, <state>/run/mutex/<name>.lock in the user's own
// state folder for anyone else; lock files are 0600.
// flock excludes other processes (and other open descriptions); threads of
// this process are excluded by an ordinary mutex in front of it. Like a
// Windows mutex, the owning thread may lock again and must unlock as often;
// every object of one name in this process shares one state, and a process
// that dies releases its lock.
#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/posix/checked_open.h"
#include "platform/posix/descriptor.h"
#include "platform/posix/errors.h"
#include "platform/posix/trust.h"
#include "platform/refusal_report.h"
#include "platform/text.h"

namespace wl::platform {
namespace {

struct MutexState {
  posix::Descriptor file;  // invalid for an unnamed mutex
  std::mutex threads;      // held by the owning thread
  std::mutex guard;        // guards owner and count
  std::thread::id owner;
  int count = 0;
};

class PosixNamedMutex : public NamedMutex {
 public:
  explicit PosixNamedMutex(std::shared_ptr<MutexState> state) : state_(std::move(state)) {}

  ~PosixNamedMutex() override {
    // The last object of a name takes its lock with it; release it first
    // rather than destroy a held lock.
    if (state_.use_count() == 1) {
      std::unique_lock lock(state_->guard);
      if (state_->owner == std::this_thread::get_id()) {
        state_->count = 1;
        lock.unlock();
        Unlock();
      }
    }
  }

  void Lock() override {
    {
      std::lock_guard lock(state_->guard);
      if (state_->owner == std::this_thread::get_id()) {
        ++state_->count;
        return;
      }
    }
    state_->threads.lock();
    // Without the file lock the threads of this process are still kept
    // apart; another process is not, which is all that can be done.
    if (state_->file.Valid()) (void)posix::LockFile(state_->file.Get(), LOCK_EX);
    std::lock_guard lock(state_->guard);
    state_->owner = std::this_thread::get_id();
    state_->count = 1;
  }

  void Unlock() override {
    {
      std::lock_guard lock(state_->guard);
      if (state_->owner != std::this_thread::get_id()) return;
      if (--state_->count > 0) return;
      state_->owner = std::thread::id();
    }
    if (state_->file.Valid()) (void)posix::LockFile(state_->file.Get(), LOCK_UN);
    state_->threads.unlock();
  }

 private:
  std::shared_ptr<MutexState> state_;
};

// The lock file's name: the mutex name without a session prefix, with '/'
// and '%' written as %2F and %25 so that any name makes one file name.
std::string FileName(std::wstring_view name) {
  std::string result;
  for (char c : Utf8FromWide(name)) {
    if (c == '/') {
      result += "%2F";
    } else if (c == '%') {
      result += "%25";
    } else {
      result.push_back(c);
    }
  }
  return result + ".lock";
}

}  // namespace

std::unique_ptr<NamedMutex> CreateNamedMutex(std::wstring_view name, Win32Error* error) {
  static std::mutex statesLock;
  static std::map<std::string, std::weak_ptr<MutexState>> states;

  // "Global\" and "Local\" choose a session namespace on Windows; there is
  // one namespace here. Any other backslash names a missing namespace.
  for (std::wstring_view prefix : {std::wstring_view(L"Global\\"), std::wstring_view(L"Local\\")}) {
    if (name.substr(0, prefix.size()) == prefix) {
      name.remove_prefix(prefix.size());
      break;
    }
  }
  if (name.find(L'\\') != std::wstring_view::npos) {
    *error = kErrorPathNotFound;
    return nullptr;
  }
  if (name.empty()) return std::make_unique<PosixNamedMutex>(std::make_shared<MutexState>());

  // The system account's mutexes lie in the machine root, every other
  // user's in the user's own state folder: a lock file that another account
  // could open is a lock that account could hold.
  std::string base = posix::OwnStateRoot();
  std::string folderPath = base + "/run/mutex";
  std::string path = folderPath + "/" + FileName(name);
  posix::CheckedOpen file;
  {
    std::lock_guard lock(statesLock);
    std::erase_if(states, [](const auto& entry) { return entry.second.expired(); });
    if (auto existing = states[path].lock()) return std::make_unique<PosixNamedMutex>(existing);
    posix::CheckedOpen folder = posix::MakeFolder(folderPath, posix::FolderModeUnder(base));
    file = folder.Ok() ? posix::OpenLockFile(folder.descriptor.Get(), folderPath, FileName(name)) : std::move(folder);
    if (file.Ok()) {
      auto state = std::make_shared<MutexState>();
      state->file = std::move(file.descriptor);
      states[path] = state;
      return std::make_unique<PosixNamedMutex>(std::move(state));
    }
  }
  // Reported without the lock: the report may make a mutex of its own.
  if (!file.refusal.empty()) {
    ReportRefusal(WideFromUtf8(path),
                  WideFromUtf8("Cannot use the lock file " + path + " of a named mutex: " + file.refusal));
  }
  *error = posix::Win32FromErrno(file.error);
  return nullptr;
}

}  // namespace wl::platform
