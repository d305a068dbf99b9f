// The calls of one client connection to a local server: the frames it sent
// decoded, the object activated and the interfaces it asked for looked up,
// the method invoked and its reply encoded.
//
// A Dispatcher belongs to one connection and is used by the one thread that
// serves it at a time. It holds the client's references to the server's
// objects (released with it, outside any server lock: the last one may end
// the server's life). While a call runs, GetComCaller names its client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "com/com.h"
#include "com/com_frame.h"

namespace wl::platform::posix {

// Who is at the other end of a connection, as the system told it.
struct ComPeer {
  unsigned uid = static_cast<unsigned>(-1);
  std::uint32_t pid = 0;
  bool system = false;
};

class Dispatcher {
 public:
  Dispatcher(const CLSID& clsid, const ComPeer& peer) : clsid_(clsid), peer_(peer) {}
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // Answers every whole frame at the start of input, appending the replies
  // to output; the bytes of the frames answered into *used. False (with the
  // reason) for a frame that breaks the rules: the connection is to be
  // closed. A frame not fully arrived is left for the next read.
  bool Answer(std::span<const std::uint8_t> input, comframe::FrameBuffer& output, std::size_t* used,
              std::wstring* error);

  [[nodiscard]] const ComPeer& Peer() const { return peer_; }

 private:
  bool Handle(const comframe::Frame& frame, comframe::FrameBuffer& output, std::wstring* error);
  void Call(const comframe::Frame& frame, const MethodDescription& method, comframe::FrameBuffer& output);

  const CLSID clsid_;
  const ComPeer peer_;
  std::vector<IUnknown*> faces_;
  std::vector<const InterfaceDescription*> descriptions_;
  bool activated_ = false;
  // The values of the call being made, kept here so that a call does not
  // clear a whole array of them.
  CallValue values_[kMaxCallParams];
};

}  // namespace wl::platform::posix
