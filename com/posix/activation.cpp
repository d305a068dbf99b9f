// The client side of the Linux COM transport: connecting to a class's
// server (activating it from the registration when nothing listens), the
// channel that carries calls over the connection, and the object proxy
// that stands for the server's object in this process.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "com/com_frame.h"
#include "com/posix/activation.h"
#include "com/posix/class_folders.h"
#include "com/posix/class_registration.h"
#include "com/posix/com_server.h"
#include "com/posix/runtime.h"
#include "com/posix/type_info.h"
#include "platform/command_line.h"
#include "platform/posix/account_posix.h"
#include "platform/posix/checked_open.h"
#include "platform/posix/detached_process.h"
#include "platform/posix/directories.h"
#include "platform/posix/errors.h"
#include "platform/posix/socket_address.h"
#include "platform/posix/trust.h"
#include "platform/system.h"
#include "platform/text.h"
#include "service_control/service_run.h"

extern char** environ;

namespace wl::platform::posix {
namespace {

using comframe::Frame;
using comframe::FrameKind;
using comframe::ReadStatus;

// Pipelined calls are offered to the socket, without waiting, each time this
// many more bytes are queued, so that the server works on them while the
// caller makes more; past kMaxQueuedBytes the caller waits until they are out.
constexpr std::size_t kSendChunkBytes = 64 * 1024;
constexpr std::size_t kMaxQueuedBytes = 1024 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;
// How often an activation asks again about a service that ran already when
// it came but does not answer.
constexpr auto kServiceRecheck = std::chrono::milliseconds(100);

// How often a client looks again at a listener whose queue of new
// connections is full, and at the activation lock while another holds it.
constexpr auto kRetryPause = std::chrono::milliseconds(5);

using Clock = std::chrono::steady_clock;

// Connects to the socket at path: the descriptor, or -1 with errno set
// (ETIMEDOUT when the listener took no connection within the time-out). A
// path that no socket address can reach is reported, naming the limit. A
// reply that does not come within the call time-out ends a blocking read
// (SO_RCVTIMEO).
int Connect(const std::string& path, const ComTimeouts& timeouts) {
  SocketAddress address;
  if (int error = address.Set(path); error != 0) {
    if (error == ENAMETOOLONG) ReportCom(ComReport::kError, L"Cannot connect: " + SocketAddressError(path, error));
    errno = error;
    return -1;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  // A Unix socket connects at once, or fails with EAGAIN while the
  // listener's queue is full: a server that accepts no more (or a squatter
  // that never accepts) is given the connect time-out, not forever.
  auto deadline = Clock::now() + std::chrono::milliseconds(timeouts.connectMilliseconds);
  while (connect(fd, address.Get(), address.Size()) != 0) {
    if (errno == EINTR) continue;
    int error = errno;
    if (error == EAGAIN && Clock::now() < deadline) {
      std::this_thread::sleep_for(kRetryPause);
      continue;
    }
    close(fd);
    errno = error == EAGAIN ? ETIMEDOUT : error;
    return -1;
  }
  timeval wait{static_cast<time_t>(timeouts.callMilliseconds / 1000),
               static_cast<suseconds_t>(timeouts.callMilliseconds % 1000 * 1000)};
  if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait)) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// Checks who answers on a class socket before anything is sent to it: the
// service (SYSTEM: uid 0 or the owner of the machine root) on the machine's
// socket, this very user on the user's own. The system took the listener's
// credentials when it made the socket listen (systemd, which listens for a
// socket unit, is uid 0), so nobody can pretend to be another user. A
// socket served by anyone else is refused, with the user and process named.
HRESULT CheckServer(int fd, const std::string& path, const ComFolder& folder) {
  ucred credentials{};
  socklen_t size = sizeof(credentials);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
    ReportCom(ComReport::kError, L"Refused the class socket " + WideFromUtf8(path) +
                                     L": the system does not tell who serves it; nothing was sent to it");
    return E_ACCESSDENIED;
  }
  bool trusted = folder.machine ? IsSystemAccount(credentials.uid) : credentials.uid == geteuid();
  if (trusted) return S_OK;
  std::wstring expected =
      folder.machine ? std::wstring(L"the service (SYSTEM)") : L"this user (" + std::to_wstring(geteuid()) + L")";
  ReportCom(ComReport::kError, L"Refused the class socket " + WideFromUtf8(path) + L": it is served by user " +
                                   std::to_wstring(credentials.uid) + L" (process " + std::to_wstring(credentials.pid) +
                                   L"), not " + expected + L"; nothing was sent to it");
  return E_ACCESSDENIED;
}

// Connects to the class's socket in the folder and checks its server: S_OK
// with *fd; S_FALSE when nothing listens there; else the failure (reported).
HRESULT ConnectChecked(const ComFolder& folder, const CLSID& clsid, const ComTimeouts& timeouts, int* fd,
                       std::string* connected) {
  std::string path = ClassSocketPath(folder, clsid);
  *fd = Connect(path, timeouts);
  if (*fd < 0) {
    // No address reaches the socket (reported by Connect): no server that
    // activation starts could be reached either.
    if (errno == ENAMETOOLONG) return CO_E_SERVER_EXEC_FAILURE;
    if (errno == ETIMEDOUT) {
      ReportCom(ComReport::kError, L"The class socket " + WideFromUtf8(path) + L" took no connection within " +
                                       std::to_wstring(timeouts.connectMilliseconds) +
                                       L" ms (its server accepts no more connections)");
      return RPC_E_TIMEOUT;
    }
    return S_FALSE;
  }
  if (HRESULT checked = CheckServer(*fd, path, folder); FAILED(checked)) {
    close(*fd);
    *fd = -1;
    return checked;
  }
  *connected = path;
  return S_OK;
}

// Starts a server's command line with -Embedding, in a session of its own
// and with no terminal streams (it outlives the client that started it).
// Its end is noted in *ended by a thread that waits for it.
bool StartServer(const std::wstring& commandLine, const std::shared_ptr<std::atomic<bool>>& ended) {
  std::vector<std::string> arguments = SplitCommandLine(Utf8FromWide(commandLine));
  if (arguments.empty()) return false;
  arguments.push_back("-Embedding");
  std::vector<char*> argv;
  argv.reserve(arguments.size());

  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  return posix::StartDetachedProcess(argv.data(), environ, &pid, [ended] { ended->store(true); }) == 0;
}

// The activation lock of a class in a folder, held while it lives: two
// clients that activate at once take turns, so that the second finds the
// server the first started. Each user takes the lock in the folder where
// the servers it starts listen, so an ordinary user never takes the
// machine's (SYSTEM's, mode 0600). The file is a checked open's lock file
// (a plain file of SYSTEM for the machine's, of this user or SYSTEM for the
// user's own; one of this user's that others could open is made anew);
// anything else is reported, and activation goes on without the lock (two
// clients may then start two servers).
class ActivationLock {
 public:
  ActivationLock(const ComFolder& folder, const CLSID& clsid) {
    OpenRules rules;
    rules.systemOwner = folder.machine;
    CheckedOpen opened = OpenFolder(folder.path, rules);
    std::string name = NameOf(ClassLockPath(folder, clsid));
    if (opened.Ok()) opened = OpenLockFile(opened.descriptor.Get(), folder.path, name, rules);
    if (!opened.Ok()) {
      Refuse(ClassLockPath(folder, clsid), opened.refusal.empty()
                                               ? L"it cannot be opened (error " + std::to_wstring(opened.error) + L")"
                                               : WideFromUtf8(opened.refusal));
      return;
    }
    fd_ = opened.descriptor.Release();
  }
  ~ActivationLock() {
    if (fd_ >= 0) close(fd_);
  }
  ActivationLock(const ActivationLock&) = delete;
  ActivationLock& operator=(const ActivationLock&) = delete;

  // Waits for the lock until the deadline; false when another activation
  // held it all that time.
  bool Take(Clock::time_point deadline) {
    if (fd_ < 0) return true;
    for (;;) {
      if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
      if (errno != EWOULDBLOCK && errno != EINTR) return true;
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(kRetryPause);
    }
  }

 private:
  void Refuse(const std::string& path, const std::wstring& why) {
    ReportCom(ComReport::kError, L"Activation goes on without its lock " + WideFromUtf8(path) + L": " + why);
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  int fd_ = -1;
};

// Connects to the class's server, checking who it is; when nothing listens,
// activates it from the registration and waits for its socket, all within
// the activation time-out. An ordinary user's client looks for a server of
// its own first, then for the machine's; a SYSTEM client only for the
// machine's.
HRESULT ConnectToClass(const CLSID& clsid, const ComTimeouts& timeouts, int* fd, std::string* path) {
  const ComFolder own = OwnComFolder();
  std::vector<ComFolder> folders{own};
  if (!own.machine) folders.push_back(MachineComFolder());
  for (const ComFolder& folder : folders) {
    if (HRESULT result = ConnectChecked(folder, clsid, timeouts, fd, path); result != S_FALSE) return result;
  }
  std::wstring service, server;
  HRESULT registration = ClassLocalService(clsid, &service);
  if (registration == REGDB_E_CLASSNOTREG) registration = ClassLocalServer(clsid, &server);
  // A class without a registration makes nothing on disk: a client given a
  // mistyped machine root leaves it as it was. One that names what this
  // process may not start has been reported.
  if (FAILED(registration)) return registration;
  // What this process starts runs as its user, and listens where that
  // user's servers listen.
  std::wstring reason;
  if (int error = PrepareComFolder(own, &reason); error != 0) {
    ReportCom(ComReport::kError, L"Cannot activate class " + GuidText(clsid) + L": " + reason);
    return CO_E_SERVER_EXEC_FAILURE;
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(timeouts.activationMilliseconds);
  auto gaveUp = [&](const std::wstring& what) {
    ReportCom(ComReport::kError, L"Activation of class " + GuidText(clsid) + L" gave up after " +
                                     std::to_wstring(timeouts.activationMilliseconds) + L" ms: " + what);
    return CO_E_SERVER_EXEC_FAILURE;
  };
  ActivationLock lock(own, clsid);
  if (!lock.Take(deadline)) {
    return gaveUp(L"another activation held the lock " + WideFromUtf8(ClassLockPath(own, clsid)) + L" all that time");
  }
  if (HRESULT result = ConnectChecked(own, clsid, timeouts, fd, path); result != S_FALSE) return result;
  auto ended = std::make_shared<std::atomic<bool>>(false);
  auto started = [](Win32Error error) { return error == 0 || error == kErrorServiceAlreadyRunning; };
  Win32Error start = 0;
  if (!service.empty()) start = StartNamedService(service);
  if (!service.empty() ? !started(start) : !StartServer(server, ended)) {
    return CO_E_SERVER_EXEC_FAILURE;
  }
  auto recheck = Clock::now() + kServiceRecheck;
  for (;;) {
    if (HRESULT result = ConnectChecked(own, clsid, timeouts, fd, path); result != S_FALSE) return result;
    auto now = Clock::now();
    if (ended->load()) return CO_E_SERVER_EXEC_FAILURE;
    if (now >= deadline) {
      return gaveUp(L"the started server's socket " + WideFromUtf8(ClassSocketPath(own, clsid)) + L" did not come");
    }
    // A service that ran already may be stopping, or dead: it is started
    // anew once the service control counts it as stopped.
    if (start == kErrorServiceAlreadyRunning && now >= recheck) {
      recheck = now + kServiceRecheck;
      start = StartNamedService(service);
      if (!started(start)) return CO_E_SERVER_EXEC_FAILURE;
    }
    SleepMilliseconds(5);
  }
}

class SocketChannel final : public ComChannel {
 public:
  // The connection to the socket at path; a call that makes no progress
  // for callMilliseconds fails with RPC_E_TIMEOUT and closes it.
  SocketChannel(int fd, std::string path, std::uint32_t callMilliseconds)
      : fd_(fd), path_(std::move(path)), callMilliseconds_(callMilliseconds) {}
  ~SocketChannel() override { close(fd_); }
  SocketChannel(const SocketChannel&) = delete;
  SocketChannel& operator=(const SocketChannel&) = delete;

  // An activation or interface request; the face number into *face.
  HRESULT Request(FrameKind kind, const GUID& iid, std::uint16_t* face) {
    std::lock_guard lock(mutex_);
    comframe::AppendGuidFrame(out_, kind, iid);
    Reply reply;
    if (!Exchange(&reply)) return TakeFailure();
    if (SUCCEEDED(reply.result)) {
      if (reply.count < 1) return Broken();
      *face = static_cast<std::uint16_t>(reply.numbers[0]);
    }
    return reply.result;
  }

  void SetFace(const InterfaceDescription* face, std::uint16_t number) {
    std::lock_guard lock(mutex_);
    faces_.push_back({face, number});
  }

  HRESULT Call(const InterfaceDescription& face, const MethodDescription& method, CallValue* values) override {
    std::lock_guard lock(mutex_);
    std::uint16_t number = 0;
    if (!FaceNumber(face, &number)) return E_NOINTERFACE;
    comframe::AppendCall(out_, number, PlanFor(method), values);
    Reply reply;
    if (!Exchange(&reply)) return TakeFailure();
    int index = 0;
    for (std::size_t i = 0; i < method.params.size(); ++i) {
      if (!method.params[i].out) continue;
      if (index >= reply.count) return Broken();
      values[i].number = reply.numbers[index++];
    }
    return reply.result;
  }

  HRESULT Send(const InterfaceDescription& face, const MethodDescription& method, const CallValue* values) override {
    std::lock_guard lock(mutex_);
    if (broken_) {
      // Owed like any call sent, and answered already.
      results_.push_back(RPC_E_DISCONNECTED);
      return RPC_E_DISCONNECTED;
    }
    std::uint16_t number = 0;
    if (!FaceNumber(face, &number)) return E_NOINTERFACE;
    comframe::AppendCall(out_, number, PlanFor(method), values);
    ++pending_;
    if (out_.size() >= nextOffer_) {
      if (Offer() == Sent::kBroken) return TakeFailure();
      if (out_.size() - outSent_ >= kMaxQueuedBytes && !Pump(nullptr, 0)) return TakeFailure();
      nextOffer_ = out_.size() + kSendChunkBytes;
    }
    return S_OK;
  }

  HRESULT Receive(std::span<HRESULT> results) override {
    std::lock_guard lock(mutex_);
    if (results.size() > results_.size() - taken_ + pending_) return E_INVALIDARG;
    bool alive = Pump(nullptr, results.size());
    std::copy_n(results_.begin() + static_cast<std::ptrdiff_t>(taken_), results.size(), results.begin());
    taken_ += results.size();
    if (taken_ == results_.size()) {
      results_.clear();
      taken_ = 0;
    }
    return alive && !broken_ ? S_OK : TakeFailure();
  }

  std::size_t Outstanding() const override {
    std::lock_guard lock(mutex_);
    return results_.size() - taken_ + pending_;
  }

 private:
  struct Reply {
    HRESULT result = S_OK;
    int count = 0;
    std::uint32_t numbers[comframe::kMaxFrameValues];
  };

  bool FaceNumber(const InterfaceDescription& face, std::uint16_t* number) const {
    for (const auto& [description, known] : faces_) {
      if (description == &face) {
        *number = known;
        return true;
      }
    }
    return false;
  }

  // The layout of a method's calls, worked out on its first call here.
  const comframe::CallPlan& PlanFor(const MethodDescription& method) {
    for (const comframe::CallPlan& plan : plans_) {
      if (plan.method == &method) return plan;
    }
    plans_.push_back(comframe::PlanCall(method));
    return plans_.back();
  }

  HRESULT Broken() {
    MarkBroken();
    return RPC_E_DISCONNECTED;
  }

  // Ends the connection's use: every result owed fails with why. A server
  // that made no progress for the call time-out is told so by closing the
  // connection (a late reply could not be matched to its call any more).
  void MarkBroken(HRESULT why = RPC_E_DISCONNECTED) {
    if (!broken_) {
      broken_ = true;
      failure_ = why;
      if (why == RPC_E_TIMEOUT) {
        (void)shutdown(fd_, SHUT_RDWR);
        ReportCom(ComReport::kError, L"The COM server on " + WideFromUtf8(path_) +
                                         L" made no progress with a call for " + std::to_wstring(callMilliseconds_) +
                                         L" ms; the connection is closed");
      }
    }
    for (; pending_ > 0; --pending_) results_.push_back(failure_);
    DropQueue();
  }

  // The result of the call that found the connection broken: the cause
  // once, RPC_E_DISCONNECTED for every later call.
  HRESULT TakeFailure() {
    HRESULT failure = failure_;
    failure_ = RPC_E_DISCONNECTED;
    return failure;
  }

  void DropQueue() {
    out_.clear();
    outSent_ = 0;
    nextOffer_ = kSendChunkBytes;
  }

  enum class Sent { kAll, kPart, kBroken };

  // Sends what the socket takes now of the queued frames, without waiting:
  // a server that cannot write its replies to us must never wait for us.
  Sent Offer() {
    ssize_t count = 0;
    do {
      count = send(fd_, out_.data() + outSent_, out_.size() - outSent_, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Sent::kPart;
      MarkBroken();
      return Sent::kBroken;
    }
    outSent_ += static_cast<std::size_t>(count);
    if (outSent_ < out_.size()) return Sent::kPart;
    DropQueue();
    return Sent::kAll;
  }

  // Sends the queued frames (the last one a synchronous request) and waits
  // for its reply, taking the replies of earlier pipelined calls on the way.
  bool Exchange(Reply* reply) {
    if (broken_) {
      DropQueue();
      return false;
    }
    return Pump(reply, 0);
  }

  // Moves bytes both ways until the queue is sent and, with reply set, the
  // reply of the last frame has come, or else until `wanted` pipelined
  // results are in. False when the connection broke (every result owed is
  // then RPC_E_DISCONNECTED).
  bool Pump(Reply* reply, std::size_t wanted) {
    bool replied = false;
    for (;;) {
      bool sent = outSent_ == out_.size();
      if (sent && (reply != nullptr ? replied : results_.size() - taken_ >= wanted)) break;
      if (broken_) return false;
      if (!sent) {
        Sent state = Offer();
        if (state == Sent::kBroken) return false;
        if (state == Sent::kAll) continue;
        // The socket is full. Sending again at once would move a few bytes
        // per system call; poll waits until the server has read a good share.
        pollfd poller{fd_, static_cast<short>(POLLIN | POLLOUT), 0};
        int ready = poll(&poller, 1, static_cast<int>(callMilliseconds_));
        if (ready < 0 && errno != EINTR) return MarkBroken(), false;
        if (ready == 0) return MarkBroken(RPC_E_TIMEOUT), false;
        if ((poller.revents & POLLIN) == 0) continue;
      }
      // The replies of streamed calls follow the last of them closely.
      if (sent && reply == nullptr) AwaitReadable(fd_);
      if (!ReadReplies(sent, reply, &replied)) return MarkBroken(), false;
    }
    return true;
  }

  // Reads once (blocking when everything is sent) and takes every whole
  // reply: the first `pending_` go to the pipelined results, the next is
  // the synchronous reply.
  bool ReadReplies(bool block, Reply* reply, bool* replied) {
    if (in_.size() - inUsed_ < kReadChunk / 4) in_.resize(std::max(in_.size() * 2, inUsed_ + kReadChunk));
    ssize_t got = recv(fd_, in_.data() + inUsed_, in_.size() - inUsed_, block ? 0 : MSG_DONTWAIT);
    if (got == 0) return false;
    if (got < 0 && block && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The receive time-out of the socket (the call time-out) has passed.
      MarkBroken(RPC_E_TIMEOUT);
      return false;
    }
    if (got < 0) return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
    inUsed_ += static_cast<std::size_t>(got);
    std::size_t offset = 0;
    Frame frame;
    std::wstring error;
    for (;;) {
      HRESULT plain = S_OK;
      if (pending_ > 0 && comframe::ReadPlainReply({in_.data() + offset, inUsed_ - offset}, &plain)) {
        --pending_;
        results_.push_back(plain);
        offset += comframe::kPlainReplyBytes;
        continue;
      }
      std::size_t size = 0;
      ReadStatus status = comframe::ReadFrame({in_.data() + offset, inUsed_ - offset}, &frame, &size, &error);
      if (status == ReadStatus::kInvalid) return false;
      if (status == ReadStatus::kIncomplete) {
        if (size > in_.size()) in_.resize(size + kReadChunk);
        break;
      }
      offset += size;
      if (frame.kind != FrameKind::kReply || frame.count < 1 || frame.values[0].tag != VT_ERROR) return false;
      auto result = static_cast<HRESULT>(frame.values[0].number);
      if (pending_ > 0) {
        --pending_;
        results_.push_back(result);
      } else if (reply != nullptr && !*replied) {
        reply->result = result;
        reply->count = frame.count - 1;
        for (int i = 1; i < frame.count; ++i) reply->numbers[i - 1] = frame.values[i].number;
        *replied = true;
      } else {
        return false;
      }
    }
    std::memmove(in_.data(), in_.data() + offset, inUsed_ - offset);
    inUsed_ -= offset;
    return true;
  }

  int fd_;
  const std::string path_;
  const std::uint32_t callMilliseconds_;
  mutable std::mutex mutex_;
  std::vector<std::pair<const InterfaceDescription*, std::uint16_t>> faces_;
  std::vector<comframe::CallPlan> plans_;
  comframe::FrameBuffer out_;
  std::size_t outSent_ = 0;
  std::size_t nextOffer_ = kSendChunkBytes;
  std::vector<std::uint8_t> in_;
  std::size_t inUsed_ = 0;
  std::size_t pending_ = 0;
  // Results received and not yet taken: those from taken_ on.
  std::vector<HRESULT> results_;
  std::size_t taken_ = 0;
  bool broken_ = false;
  HRESULT failure_ = RPC_E_DISCONNECTED;
};

// Stands for the server's object: its identity (IUnknown), the reference
// count of this process's references, and one proxy per interface asked
// for. The last Release closes the connection, which releases the server's
// references.
class ObjectProxy final : public RefCounted<IUnknown> {
 public:
  ObjectProxy(int fd, std::string path, std::uint32_t callMilliseconds)
      : channel_(fd, std::move(path), callMilliseconds) {}

  SocketChannel& Channel() { return channel_; }

  // Makes the proxy of a face the server has handed out.
  IUnknown* AddFace(const InterfaceDescription* description, std::uint16_t face) {
    std::lock_guard lock(mutex_);
    channel_.SetFace(description, face);
    faces_.push_back({description, description->makeProxy(this, channel_)});
    return faces_.back().proxy->Interface();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown) {
      AddRef();
      *object = static_cast<IUnknown*>(this);
      return S_OK;
    }
    bool dispatch = riid == IID_IDispatch;
    {
      std::lock_guard lock(mutex_);
      for (const Face& face : faces_) {
        if (face.description->iid == riid || (dispatch && (face.description->typeFlags & TYPEFLAG_FDUAL) != 0)) {
          AddRef();
          *object = face.proxy->Interface();
          return S_OK;
        }
      }
    }
    // IDispatch is served by the proxy of a dual interface the object has.
    std::vector<const InterfaceDescription*> candidates;
    if (dispatch) {
      candidates = BuiltInDualInterfaces();
    } else if (const InterfaceDescription* description = FindBuiltInInterface(riid)) {
      candidates.push_back(description);
    }
    HRESULT result = E_NOINTERFACE;
    for (const InterfaceDescription* description : candidates) {
      std::uint16_t face = 0;
      result = channel_.Request(FrameKind::kQuery, description->iid, &face);
      if (SUCCEEDED(result)) {
        AddRef();
        *object = AddFace(description, face);
        return S_OK;
      }
    }
    return result == RPC_E_DISCONNECTED ? result : E_NOINTERFACE;
  }

 private:
  struct Face {
    const InterfaceDescription* description;
    std::unique_ptr<InterfaceProxy> proxy;
  };

  SocketChannel channel_;
  std::mutex mutex_;
  std::vector<Face> faces_;
};

}  // namespace

HRESULT CreateRemoteInstance(const CLSID& clsid, REFIID iid, void** object) {
  const ComTimeouts timeouts = CurrentComTimeouts();
  int fd = -1;
  std::string path;
  if (HRESULT result = ConnectToClass(clsid, timeouts, &fd, &path); FAILED(result)) return result;
  auto* proxy = new ObjectProxy(fd, path, timeouts.callMilliseconds);
  // An interface with a known proxy is asked for at once; any other
  // (IUnknown, IDispatch) after activating the object's identity.
  const InterfaceDescription* description = FindBuiltInInterface(iid);
  std::uint16_t face = 0;
  HRESULT result = proxy->Channel().Request(FrameKind::kActivate, description != nullptr ? iid : IID_IUnknown, &face);
  if (result == RPC_E_DISCONNECTED) {
    ReportCom(ComReport::kError, L"The COM server on " + WideFromUtf8(path) +
                                     L" closed the connection before it answered (it may be at its limit of "
                                     L"connections, in all or for this user)");
  }
  if (SUCCEEDED(result)) {
    if (description != nullptr) {
      *object = proxy->AddFace(description, face);
      return S_OK;
    }
    result = proxy->QueryInterface(iid, object);
  }
  proxy->Release();
  return result;
}

}  // namespace wl::platform::posix
