// Forwarding of accepted log messages to a central collector, beside the
// files: RFC 5424 messages over TCP (octet-counting frames) or RELP, each
// plain or inside TLS.
//
// The writer thread hands each batch's forwarded messages over after it has
// written their lines to the files (Offer). Offer never waits for the
// network: the forwarder keeps at most queueSize messages (taken, not yet
// sent) and drops the rest with a count. Its own thread formats and sends,
// reconnects with back-off while the collector is away, and rewrites a small
// status file for operators every two seconds.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "logclient/log_tables.h"
#include "platform/relp_client.h"
#include "platform/tcp_socket.h"
#include "platform/tls_client.h"
#include "service/line_queue.h"

namespace wl {

enum class ForwardProtocol { Tcp, Relp };

struct ForwardingSettings {
  // The target as configured; empty when forwarding is off.
  std::wstring target;
  ForwardProtocol protocol = ForwardProtocol::Tcp;
  std::string host;
  std::uint16_t port = 0;
  // tls:// and relp+tls://: nothing goes out but inside TLS.
  bool tls = false;
  platform::TlsSettings tlsSettings;
  // The least severe level forwarded (its number or a smaller one passes).
  LevelNumber level = 4;
  std::uint32_t facility = 16;
  std::uint32_t queueSize = 100000;
  // The longest message sent, in bytes; a longer one is cut to it.
  std::uint32_t maxMessageBytes = 8192;
  // Why a configured target leaves forwarding off (it does not parse, or
  // asks for what this build lacks); empty otherwise.
  std::wstring problem;

  [[nodiscard]] bool Enabled() const { return port != 0; }
  bool operator==(const ForwardingSettings&) const = default;
};

inline constexpr std::uint32_t kMaxForwardQueueSize = 10'000'000;
// ForwardMaxMessageBytes is kept within these: the smallest leaves room for
// the longest header.
inline constexpr std::uint32_t kMinForwardMessageBytes = 1024;
inline constexpr std::uint32_t kMaxForwardMessageBytes = 4 * 1024 * 1024;

// Parses "tcp://host:port", "relp://host:port", "tls://host:port" or
// "relp+tls://host:port" (an IPv6 address in brackets) into settings; false,
// leaving them alone, for anything else.
bool ParseForwardTarget(std::wstring_view text, ForwardingSettings& settings);

// The forwarding values under HKLM\Software\Kestrix\Wayline: ForwardTarget,
// ForwardLevel, ForwardFacility, ForwardQueueSize, ForwardMaxMessageBytes,
// and for a TLS target ForwardTlsCaFile, ForwardTlsCertFile,
// ForwardTlsKeyFile, ForwardTlsAuthMode and ForwardTlsPeers. A target that
// does not parse, or that the settings or the system cannot serve (relp://
// without RELP, TLS without TLS or a CA file), leaves forwarding off, sets
// `problem` and is reported once per distinct text (a diagnostic line and an
// event).
ForwardingSettings ReadForwardingSettings();

struct ForwardingStatus {
  bool enabled = false;
  std::wstring target;
  bool connected = false;
  bool tls = false;
  std::uint64_t sent = 0;
  std::uint64_t queued = 0;
  std::uint64_t dropped = 0;
  // The last failure in words (a bad target, or why the collector could not
  // be reached or was lost); empty when there was none.
  std::wstring error;
};

// How a failure to connect to host reads for an operator: the cause in
// words (unresolvable name, refused, timed out, unreachable) and the code.
std::wstring ConnectFailureText(Win32Error code, std::string_view host);

// "<root>/run/forwarding.status" (without a root, as on Windows with no
// WAYLINE_ROOT: "<data folder>\run\forwarding.status").
std::wstring ForwardingStatusPath();

class Forwarder {
 public:
  // An entry of a batch handed to Offer: the source, and as the line the
  // bytes that AppendForwardEntry writes.
  static void AppendForwardEntry(LineQueue& batch, SourceNumber source, std::int64_t acceptedMicroseconds,
                                 LevelNumber level, bool serviceStamped, std::string_view line);

  Forwarder();
  // Stops the thread (Stop).
  ~Forwarder();
  Forwarder(const Forwarder&) = delete;
  Forwarder& operator=(const Forwarder&) = delete;

  // Takes new settings; any thread. The thread starts on the first enabled
  // settings after Start. Changed settings close the connection; turning
  // forwarding off discards what is queued.
  void Apply(const ForwardingSettings& settings);
  // Allows the thread to run (the service's final construction).
  void Start();
  // Gives the thread at most graceMs to send what is queued, then ends it.
  // Idempotent.
  void Stop(std::uint32_t graceMs = 2000);

  // Whether a message of this level is forwarded. Lock-free; any thread.
  bool Accepts(LevelNumber level) const {
    return level <= level_.load(std::memory_order_relaxed) && enabled_.load(std::memory_order_relaxed);
  }

  // Writer thread: takes the batch's entries (what does not fit is dropped
  // and counted) and empties the batch. Never waits for the network.
  void Offer(LineQueue& batch);

  ForwardingStatus Status() const;

  // Test aid: waits until nothing is queued or timeoutMs passed; true when
  // the queue became empty.
  bool WaitUntilSent(std::uint32_t timeoutMs);

 private:
  void ApplyLocked(const ForwardingSettings& settings);
  void Run();
  void Connect();
  void CloseSocket();
  void LoseConnection();
  void Disconnect();
  void SendSome();
  void FormatTaken(LineQueue& taken);
  void ReportPeriod(std::int64_t now);
  void ReportDown(const std::wstring& why);
  void ReportUp();
  void WriteStatusFile();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable sentAll_;
  ForwardingSettings settings_;
  std::uint64_t generation_ = 0;
  LineQueue pending_;
  // Swapped with pending_ by the thread, which formats it outside the lock.
  LineQueue taken_;
  bool started_ = false;
  bool stopping_ = false;
  std::int64_t stopDeadline_ = 0;
  std::thread thread_;

  std::atomic<bool> enabled_{false};
  std::atomic<LevelNumber> level_{0};
  std::atomic<bool> connected_{false};
  std::atomic<std::uint64_t> sent_{0};
  std::atomic<std::uint64_t> queued_{0};
  std::atomic<std::uint64_t> dropped_{0};
  // Guarded by mutex_.
  std::wstring lastError_;

  // The thread's own state.
  ForwardingSettings active_;
  std::uint64_t activeGeneration_ = 0;
  std::string hostName_;
  std::deque<std::string> inHand_;
  std::string sendBuffer_;
  std::size_t sendOffset_ = 0;
  std::deque<std::size_t> frameEnds_;
  platform::SocketHandle socket_ = platform::kNoSocket;
  platform::TlsClient tls_;
  // socket_ belongs to tls_'s session.
  bool socketInTls_ = false;
  platform::RelpClient relp_;
  bool relpSession_ = false;
  std::int64_t nextAttempt_ = 0;
  std::int64_t backoffMs_ = 0;
  bool reportedDown_ = false;
  std::wstring reportedReason_;
  std::uint64_t droppedReported_ = 0;
  std::int64_t periodStart_ = 0;
  std::int64_t nextStatusWrite_ = 0;
};

}  // namespace wl
