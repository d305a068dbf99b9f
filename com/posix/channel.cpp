#include "com/posix/channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "com/com_frame.h"
#include "com/posix/runtime.h"
#include "com/posix/type_info.h"
#include "platform/text.h"

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

HRESULT ActivateOverConnection(int fd, const std::string& path, std::uint32_t callMilliseconds, REFIID iid,
                               void** object) {
  auto* proxy = new ObjectProxy(fd, path, callMilliseconds);
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
