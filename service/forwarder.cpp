#include "service/forwarder.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

#include "diagnostics/error_text.h"
#include "diagnostics/format.h"
#include "diagnostics/registry_key.h"
#include "logclient/diagnostic.h"
#include "platform/file_system.h"
#include "platform/system.h"
#include "platform/system_message.h"
#include "platform/text.h"
#include "service/service_events.h"
#include "service/status_file.h"
#include "service/syslog_message.h"

namespace wl {
namespace {

constexpr std::int64_t kMillisecond = 1'000'000;
constexpr std::wstring_view kForwardingStatusFile = L"forwarding.status";
constexpr std::int64_t kStatusPeriod = 2000 * kMillisecond;
constexpr std::int64_t kDropReportPeriod = 60'000 * kMillisecond;
constexpr std::int64_t kLongestBackoffMs = 30'000;
constexpr std::uint32_t kConnectTimeoutMs = 2000;
constexpr std::uint32_t kSendWaitMs = 200;
// RELP waits this long for room in its window or for the last
// acknowledgements when it closes.
constexpr std::uint32_t kRelpTimeoutSeconds = 2;
// How much a TCP send takes at once.
constexpr std::size_t kSendChunk = 64 * 1024;
constexpr std::size_t kRelpBurst = 256;

// Entry layout: acceptance time (8 bytes), level (2), service-stamped (1),
// then the finished line.
constexpr std::size_t kEntryHead = 11;

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    wchar_t c = text[i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// Keeps the reason in settings.problem; reported once per distinct text.
void ReportBadTarget(ForwardingSettings& settings, std::wstring_view text, std::wstring_view why) {
  settings.target = text;
  settings.problem = Format(L"Forwarding is off: the target \"{}\" {}", text, why);
  static std::mutex mutex;
  static std::wstring last;
  std::lock_guard lock(mutex);
  if (last == settings.problem) return;
  last = settings.problem;
  DiagnosticError(0, L"{}", settings.problem);
  ReportServiceEvent(settings.problem, true);
}

// A status value as UTF-8 on one line: control characters become blanks.
std::string OneLine(std::wstring_view text) {
  std::string line = platform::Utf8FromWide(text);
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
  }
  return line;
}

constexpr std::wstring_view kPeerGone = L"the collector closed or reset the connection";

// The values of a TLS target; false (reported) when they cannot serve one.
bool ReadTlsSettings(RegistryKey& key, ForwardingSettings& report, platform::TlsSettings& tls,
                     std::wstring_view target) {
  std::wstring text;
  if (key.ReadString(L"ForwardTlsCaFile", text) == kErrorSuccess) tls.caFile = platform::Utf8FromWide(text);
  if (key.ReadString(L"ForwardTlsCertFile", text) == kErrorSuccess) tls.certFile = platform::Utf8FromWide(text);
  if (key.ReadString(L"ForwardTlsKeyFile", text) == kErrorSuccess) tls.keyFile = platform::Utf8FromWide(text);
  if (tls.caFile.empty()) {
    ReportBadTarget(report, target, L"asks for TLS, and ForwardTlsCaFile names no CA file to check the collector with");
    return false;
  }
  if (tls.certFile.empty() != tls.keyFile.empty()) {
    ReportBadTarget(report, target, L"has ForwardTlsCertFile or ForwardTlsKeyFile without the other");
    return false;
  }
  if (key.ReadString(L"ForwardTlsAuthMode", text) == kErrorSuccess && !text.empty() &&
      !platform::ParseTlsAuthMode(platform::Utf8FromWide(text), &tls.mode)) {
    ReportBadTarget(report, target, L"has a ForwardTlsAuthMode that is not name, fingerprint or certvalid");
    return false;
  }
  // REG_MULTI_SZ (one peer a string) or REG_SZ with ';' or ',' between.
  std::uint32_t type = 0, size = 0;
  std::wstring peers;
  if (platform::RegistryQueryValue(key.Handle(), L"ForwardTlsPeers", &type, nullptr, &size) == kErrorSuccess &&
      (type == platform::kRegSz || type == platform::kRegMultiSz) && size >= 2) {
    std::vector<std::uint8_t> data(size);
    if (platform::RegistryQueryValue(key.Handle(), L"ForwardTlsPeers", &type, data.data(), &size) == kErrorSuccess) {
      data.resize(size);
      peers = platform::WideFromUtf16(platform::Utf16FromLeBytes(data));
    }
  }
  tls.peers.clear();
  std::wstring peer;
  for (wchar_t c : peers + L';') {
    if (c == L';' || c == L',' || c == L'\0') {
      if (!peer.empty()) tls.peers.push_back(platform::Utf8FromWide(peer));
      peer.clear();
    } else if (c != L' ' && c != L'\t') {
      peer += c;
    }
  }
  if (tls.mode == platform::TlsAuthMode::Fingerprint && tls.peers.empty()) {
    ReportBadTarget(report, target, L"checks fingerprints, and ForwardTlsPeers lists none");
    return false;
  }
  if (tls.mode == platform::TlsAuthMode::CertValid) {
    static std::mutex mutex;
    static std::wstring warned;
    std::lock_guard lock(mutex);
    if (warned != target) {
      DiagnosticError(0,
                      L"Forwarding to {} checks only that the collector's certificate comes from the CA "
                      L"(ForwardTlsAuthMode certvalid): any certificate of that CA is accepted",
                      target);
    }
    warned = target;
  }
  return true;
}

}  // namespace

bool ParseForwardTarget(std::wstring_view text, ForwardingSettings& settings) {
  ForwardProtocol protocol;
  bool tls = false;
  std::wstring_view rest;
  if (StartsWithNoCase(text, L"tcp://")) {
    protocol = ForwardProtocol::Tcp;
    rest = text.substr(6);
  } else if (StartsWithNoCase(text, L"relp://")) {
    protocol = ForwardProtocol::Relp;
    rest = text.substr(7);
  } else if (StartsWithNoCase(text, L"tls://")) {
    protocol = ForwardProtocol::Tcp;
    tls = true;
    rest = text.substr(6);
  } else if (StartsWithNoCase(text, L"relp+tls://")) {
    protocol = ForwardProtocol::Relp;
    tls = true;
    rest = text.substr(11);
  } else {
    return false;
  }
  std::size_t colon = rest.rfind(L':');
  if (colon == std::wstring_view::npos || colon == 0) return false;
  std::wstring_view host = rest.substr(0, colon);
  std::wstring_view portText = rest.substr(colon + 1);
  if (host.front() == L'[') {
    if (host.size() < 3 || host.back() != L']') return false;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(L':') != std::wstring_view::npos) {
    return false;
  }
  for (wchar_t c : host) {
    if (c <= L' ' || c > 126 || c == L'/' || c == L'[' || c == L']' || c == L'@') return false;
  }
  if (portText.empty() || portText.size() > 5) return false;
  std::uint32_t port = 0;
  for (wchar_t c : portText) {
    if (c < L'0' || c > L'9') return false;
    port = port * 10 + static_cast<std::uint32_t>(c - L'0');
  }
  if (port == 0 || port > 65535) return false;
  settings.target = text;
  settings.protocol = protocol;
  settings.tls = tls;
  settings.host = platform::Utf8FromWide(host);
  settings.port = static_cast<std::uint16_t>(port);
  return true;
}

ForwardingSettings ReadForwardingSettings() {
  ForwardingSettings settings;
  RegistryKey key(false);
  if (key.Open(platform::kHKeyLocalMachine, kProductKey) != kErrorSuccess) return settings;
  std::uint32_t value = 0;
  if (key.ReadDword(L"ForwardLevel", value) == kErrorSuccess) settings.level = static_cast<LevelNumber>(value);
  if (key.ReadDword(L"ForwardFacility", value) == kErrorSuccess && value <= 23) settings.facility = value;
  if (key.ReadDword(L"ForwardQueueSize", value) == kErrorSuccess && value != 0) {
    settings.queueSize = std::min(value, kMaxForwardQueueSize);
  }
  if (key.ReadDword(L"ForwardMaxMessageBytes", value) == kErrorSuccess) {
    settings.maxMessageBytes = std::clamp(value, kMinForwardMessageBytes, kMaxForwardMessageBytes);
  }
  std::wstring target;
  if (key.ReadString(L"ForwardTarget", target) != kErrorSuccess || target.empty()) return settings;
  ForwardingSettings parsed = settings;
  if (!ParseForwardTarget(target, parsed)) {
    ReportBadTarget(settings, target, L"is not tcp://, relp://, tls:// or relp+tls:// with host:port");
  } else if (parsed.tls && !ReadTlsSettings(key, settings, parsed.tlsSettings, target)) {
    // Reported by ReadTlsSettings.
  } else {
    settings = std::move(parsed);
  }
  return settings;
}

std::wstring ForwardingStatusPath() { return StatusFilePath(kForwardingStatusFile); }

std::wstring ConnectFailureText(Win32Error code, std::string_view host) {
  std::wstring name = platform::WideFromUtf8(host);
  std::wstring cause;
  switch (code) {
    case 11001:  // WSAHOST_NOT_FOUND
    case 11002:  // WSATRY_AGAIN
    case 11004:  // WSANO_DATA
      cause = Format(L"the host name {} cannot be resolved", name);
      break;
    case 10061:  // WSAECONNREFUSED
      cause = Format(L"{} refused the connection (nothing listens on that port)", name);
      break;
    case 10060:  // WSAETIMEDOUT
      cause = Format(L"{} did not answer in time", name);
      break;
    case 10051:  // WSAENETUNREACH
      cause = Format(L"the network of {} is unreachable", name);
      break;
    case 10065:  // WSAEHOSTUNREACH
      cause = Format(L"{} is unreachable", name);
      break;
    default:
      cause = Format(L"{} cannot be reached", name);
      break;
  }
  return cause + L";" + ErrorCodeText(code);
}

void Forwarder::AppendForwardEntry(LineQueue& batch, SourceNumber source, std::int64_t acceptedMicroseconds,
                                   LevelNumber level, bool serviceStamped, std::string_view line) {
  thread_local std::string entry;
  entry.resize(kEntryHead);
  std::memcpy(entry.data(), &acceptedMicroseconds, 8);
  std::memcpy(entry.data() + 8, &level, 2);
  entry[10] = serviceStamped ? 1 : 0;
  entry.append(line);
  batch.Append(source, entry);
  if (entry.capacity() > 64 * 1024) std::string().swap(entry);
}

Forwarder::Forwarder() = default;

Forwarder::~Forwarder() { Stop(); }

void Forwarder::Apply(const ForwardingSettings& settings) {
  {
    std::lock_guard lock(mutex_);
    ApplyLocked(settings);
    // A target configured but unusable: no thread writes the status for it.
    if (!started_ || stopping_ || settings.problem.empty() || thread_.joinable()) return;
  }
  WriteStatusFile();
}

void Forwarder::ApplyLocked(const ForwardingSettings& settings) {
  level_.store(settings.level, std::memory_order_relaxed);
  enabled_.store(settings.Enabled() && !stopping_, std::memory_order_relaxed);
  if (settings == settings_) return;
  settings_ = settings;
  ++generation_;
  if (started_ && !stopping_ && settings.Enabled() && !thread_.joinable()) {
    try {
      thread_ = std::thread(&Forwarder::Run, this);
    } catch (const std::system_error& error) {
      enabled_.store(false, std::memory_order_relaxed);
      DiagnosticError(0, L"Forwarder - Unable to start the forwarding thread: {}",
                      platform::WideFromAnsi(error.what()));
    }
  }
  wake_.notify_one();
}

void Forwarder::Start() {
  ForwardingSettings settings;
  {
    std::lock_guard lock(mutex_);
    if (started_) return;
    started_ = true;
    settings = settings_;
    // Applied again below so that the thread starts.
    settings_ = ForwardingSettings{};
  }
  if (settings.target.empty()) {
    // A status file left by an earlier run must not claim forwarding is on.
    (void)platform::DeletePath(ForwardingStatusPath());
  }
  Apply(settings);
}

void Forwarder::Stop(std::uint32_t graceMs) {
  std::thread ending;
  {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
      stopping_ = true;
      stopDeadline_ = platform::SteadyClockNanoseconds() + static_cast<std::int64_t>(graceMs) * kMillisecond;
    }
    enabled_.store(false, std::memory_order_relaxed);
    ending = std::move(thread_);
  }
  wake_.notify_all();
  if (ending.joinable()) ending.join();
}

void Forwarder::Offer(LineQueue& batch) {
  {
    std::lock_guard lock(mutex_);
    if (!settings_.Enabled() || stopping_) {
      batch.Clear();
      return;
    }
    std::uint64_t queued = queued_.load(std::memory_order_relaxed);
    std::uint64_t room = queued < settings_.queueSize ? settings_.queueSize - queued : 0;
    std::uint64_t taken = 0;
    batch.ForEach([&](SourceNumber source, std::string_view entry) {
      if (taken < room) {
        pending_.Append(source, entry);
        ++taken;
      }
    });
    queued_.fetch_add(taken, std::memory_order_relaxed);
    dropped_.fetch_add(batch.Count() - taken, std::memory_order_relaxed);
  }
  batch.Clear();
  wake_.notify_one();
}

ForwardingStatus Forwarder::Status() const {
  ForwardingStatus status;
  {
    std::lock_guard lock(mutex_);
    status.enabled = settings_.Enabled() && !stopping_;
    status.target = settings_.target;
    status.tls = settings_.tls;
    status.error = settings_.problem.empty() ? lastError_ : settings_.problem;
  }
  status.connected = connected_.load(std::memory_order_relaxed);
  status.sent = sent_.load(std::memory_order_relaxed);
  status.queued = queued_.load(std::memory_order_relaxed);
  status.dropped = dropped_.load(std::memory_order_relaxed);
  return status;
}

bool Forwarder::WaitUntilSent(std::uint32_t timeoutMs) {
  std::int64_t deadline = platform::SteadyClockNanoseconds() + static_cast<std::int64_t>(timeoutMs) * kMillisecond;
  while (queued_.load() != 0) {
    if (platform::SteadyClockNanoseconds() >= deadline) return false;
    platform::SleepMilliseconds(10);
  }
  return true;
}

void Forwarder::Run() {
  hostName_ = platform::LocalHostName();
  std::unique_lock lock(mutex_);
  for (;;) {
    std::int64_t now = platform::SteadyClockNanoseconds();
    if (generation_ != activeGeneration_) {
      activeGeneration_ = generation_;
      // Other TLS settings make a new session as a new target does.
      bool newTarget = active_.target != settings_.target || active_.tlsSettings != settings_.tlsSettings;
      active_ = settings_;
      if (newTarget || !active_.Enabled()) {
        lock.unlock();
        Disconnect();
        lock.lock();
        backoffMs_ = 0;
        nextAttempt_ = now;
        reportedDown_ = false;
        reportedReason_.clear();
        lastError_.clear();
      }
      if (!active_.Enabled()) {
        // Off: what was queued for the old target is given up.
        dropped_.fetch_add(queued_.exchange(0));
        inHand_.clear();
        pending_.Clear();
      }
    }
    bool nothingQueued = inHand_.empty() && pending_.Empty();
    if (stopping_ && (nothingQueued || now >= stopDeadline_)) break;
    if (now >= nextStatusWrite_) {
      nextStatusWrite_ = now + kStatusPeriod;
      lock.unlock();
      ReportPeriod(now);
      WriteStatusFile();
      lock.lock();
      continue;
    }
    if (inHand_.empty() && !pending_.Empty()) {
      taken_.swap(pending_);
      lock.unlock();
      FormatTaken(taken_);
      lock.lock();
      continue;
    }
    if (!inHand_.empty()) {
      if (!connected_.load(std::memory_order_relaxed) && now >= nextAttempt_) {
        lock.unlock();
        Connect();
        lock.lock();
        continue;
      }
      if (connected_.load(std::memory_order_relaxed)) {
        lock.unlock();
        SendSome();
        lock.lock();
        continue;
      }
    }
    // Nothing to do until new work, the next attempt to connect, the next
    // status write or the end of the grace period.
    std::int64_t until = nextStatusWrite_;
    if (!inHand_.empty()) until = std::min(until, nextAttempt_);
    if (stopping_) until = std::min(until, stopDeadline_);
    if (until > now) wake_.wait_for(lock, std::chrono::nanoseconds(until - now));
  }
  lock.unlock();
  Disconnect();
  // What could not be sent in the grace period is lost with the process.
  dropped_.fetch_add(queued_.exchange(0));
  inHand_.clear();
  ReportPeriod(platform::SteadyClockNanoseconds() + kDropReportPeriod);
  WriteStatusFile();
}

void Forwarder::FormatTaken(LineQueue& taken) {
  taken.ForEach([this](SourceNumber source, std::string_view entry) {
    if (entry.size() < kEntryHead) return;
    SyslogInput input;
    input.facility = active_.facility;
    input.source = source;
    std::memcpy(&input.acceptedMicroseconds, entry.data(), 8);
    std::memcpy(&input.level, entry.data() + 8, 2);
    std::string text = TextOfLogLine(entry.substr(kEntryHead), entry[10] != 0);
    input.text = text;
    input.maxBytes = active_.maxMessageBytes;
    std::string message;
    message.reserve(text.size() + 160);
    AppendSyslogMessage(message, input, hostName_);
    inHand_.push_back(std::move(message));
  });
  taken.Clear();
}

void Forwarder::Connect() {
  Win32Error result;
  // Why the attempt failed, in words, when more can be said than the code.
  std::string why;
  if (active_.protocol == ForwardProtocol::Tcp) {
    result = platform::TcpConnect(active_.host, active_.port, kConnectTimeoutMs, &socket_);
    if (result == kErrorSuccess && active_.tls) {
      // The session owns the socket from here, also when it fails.
      result = tls_.Handshake(socket_, active_.host, active_.tlsSettings, kConnectTimeoutMs, &why);
      if (result != kErrorSuccess) socket_ = platform::kNoSocket;
      socketInTls_ = result == kErrorSuccess;
    }
  } else if (relpSession_) {
    // Re-establishing the session sends what the collector has not
    // acknowledged again.
    result = relp_.Reconnect();
    why = relp_.LastError();
  } else {
    result =
        relp_.Connect(active_.host, active_.port, kRelpTimeoutSeconds, active_.tls ? &active_.tlsSettings : nullptr);
    relpSession_ = result == kErrorSuccess;
    why = relp_.LastError();
  }
  if (result == kErrorSuccess) {
    connected_.store(true);
    backoffMs_ = 0;
    ReportUp();
    return;
  }
  backoffMs_ = backoffMs_ == 0 ? 250 : std::min(backoffMs_ * 2, kLongestBackoffMs);
  nextAttempt_ = platform::SteadyClockNanoseconds() + backoffMs_ * kMillisecond;
  std::wstring reason = why.empty() ? ConnectFailureText(result, active_.host)
                                    : platform::WideFromUtf8(why) + (active_.tls ? L"; nothing was sent" : L"");
  ReportDown(L"cannot connect: " + reason);
}

void Forwarder::CloseSocket() {
  if (socketInTls_) {
    tls_.Close();
  } else if (socket_ != platform::kNoSocket) {
    platform::TcpClose(socket_);
  }
  socket_ = platform::kNoSocket;
  socketInTls_ = false;
}

// A diagnostic line once per distinct reason, an event once per change of
// state.
void Forwarder::ReportDown(const std::wstring& why) {
  std::wstring text = Format(L"Forwarding to {} {}; trying again with back-off", active_.target, why);
  {
    std::lock_guard lock(mutex_);
    lastError_ = text;
  }
  if (reportedDown_ && why == reportedReason_) return;
  bool wasUp = !reportedDown_;
  reportedDown_ = true;
  reportedReason_ = why;
  DiagnosticError(0, L"{}", text);
  if (wasUp) ReportServiceEvent(text, true);
}

void Forwarder::ReportUp() {
  reportedReason_.clear();
  if (!reportedDown_) return;
  reportedDown_ = false;
  std::wstring text = Format(L"Forwarding to {} is connected again", active_.target);
  DiagnosticError(0, L"{}", text);
  ReportServiceEvent(text, false);
}

void Forwarder::LoseConnection() {
  CloseSocket();
  // Frames not wholly written are sent again, whole, on the next connection.
  sendBuffer_.clear();
  sendOffset_ = 0;
  frameEnds_.clear();
  connected_.store(false);
  nextAttempt_ = platform::SteadyClockNanoseconds();
  ReportDown(L"lost its connection: " + std::wstring(kPeerGone));
}

void Forwarder::Disconnect() {
  CloseSocket();
  sendBuffer_.clear();
  sendOffset_ = 0;
  frameEnds_.clear();
  if (relpSession_) relp_.Close();
  relpSession_ = false;
  connected_.store(false);
}

void Forwarder::SendSome() {
  if (active_.protocol == ForwardProtocol::Relp) {
    bool taken = true;
    for (std::size_t count = 0; count < kRelpBurst && !inHand_.empty(); ++count) {
      taken = relp_.Send(inHand_.front()) == kErrorSuccess;
      if (!taken) break;
      inHand_.pop_front();
      sent_.fetch_add(1, std::memory_order_relaxed);
      queued_.fetch_sub(1, std::memory_order_relaxed);
    }
    // What was taken stays with the session until acknowledged.
    if (!taken || relp_.Flush() != kErrorSuccess) {
      connected_.store(false);
      nextAttempt_ = platform::SteadyClockNanoseconds();
      std::string why = relp_.LastError();
      ReportDown(L"lost its connection: " + (why.empty() ? std::wstring(kPeerGone) : platform::WideFromUtf8(why)));
    }
    return;
  }
  if (sendBuffer_.empty()) {
    // A collector never writes to us: a readable socket means it is gone,
    // and what we would write now would be lost.
    if (socketInTls_ ? tls_.PeerGone() : platform::TcpPeerGone(socket_)) {
      LoseConnection();
      return;
    }
    for (std::size_t i = 0; i < inHand_.size() && sendBuffer_.size() < kSendChunk; ++i) {
      AppendOctetCountedFrame(sendBuffer_, inHand_[i]);
      frameEnds_.push_back(sendBuffer_.size());
    }
  }
  const char* rest = sendBuffer_.data() + sendOffset_;
  std::size_t left = sendBuffer_.size() - sendOffset_;
  long count = socketInTls_ ? tls_.Send(rest, left, kSendWaitMs) : platform::TcpSend(socket_, rest, left, kSendWaitMs);
  if (count < 0) {
    LoseConnection();
    return;
  }
  sendOffset_ += static_cast<std::size_t>(count);
  while (!frameEnds_.empty() && frameEnds_.front() <= sendOffset_) {
    frameEnds_.pop_front();
    inHand_.pop_front();
    sent_.fetch_add(1, std::memory_order_relaxed);
    queued_.fetch_sub(1, std::memory_order_relaxed);
  }
  if (sendOffset_ == sendBuffer_.size()) {
    sendBuffer_.clear();
    sendOffset_ = 0;
  }
}

void Forwarder::ReportPeriod(std::int64_t now) {
  std::uint64_t dropped = dropped_.load();
  if (dropped == droppedReported_ || now < periodStart_) return;
  DiagnosticError(0, L"Forwarding to {}: {} messages dropped (queue full or collector away), {} in all", active_.target,
                  dropped - droppedReported_, dropped);
  droppedReported_ = dropped;
  periodStart_ = now + kDropReportPeriod;
}

void Forwarder::WriteStatusFile() {
  ForwardingStatus status = Status();
  std::string text;
  text += "enabled=" + std::string(status.enabled ? "1" : "0") + "\n";
  text += "target=" + OneLine(status.target) + "\n";
  text += "connected=" + std::string(status.connected ? "1" : "0") + "\n";
  text += "sent=" + std::to_string(status.sent) + "\n";
  text += "queued=" + std::to_string(status.queued) + "\n";
  text += "dropped=" + std::to_string(status.dropped) + "\n";
  text += "tls=" + std::string(status.tls ? "1" : "0") + "\n";
  text += "error=" + OneLine(status.error) + "\n";
  wl::WriteStatusFile(kForwardingStatusFile, std::move(text));
}

}  // namespace wl
