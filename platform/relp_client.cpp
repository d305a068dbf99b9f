// The RELP client, on this layer's TCP and TLS clients. Frames are gathered
// and written many at a time (over TLS, many to a record), which spares the
// collector a read per message; acknowledgements are taken whenever data
// goes out and waited for only when the window is full.
#include "platform/relp_client.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <deque>
#include <optional>

#include "platform/tcp_socket.h"

namespace wl::platform {
namespace {

// Messages sent and not yet acknowledged, at most. A full window is let run
// down to half before more frames go out, so that they go out many at a
// time and not one per acknowledgement.
constexpr std::size_t kWindow = 1024;
// Frames are written once this many bytes are gathered (a TLS record holds
// 16 KiB).
constexpr std::size_t kWriteAt = 16000;
// The largest frame a collector may send us (its answers are short).
constexpr std::size_t kLongestAnswer = 64 * 1024;
// Transaction numbers run from 1 to 999,999,999 and then start again.
constexpr std::uint32_t kLastTxnr = 999'999'999;

constexpr Win32Error kRefused = 10061;       // WSAECONNREFUSED
constexpr Win32Error kReset = 10054;         // WSAECONNRESET
constexpr Win32Error kTimedOut = 10060;      // WSAETIMEDOUT
constexpr Win32Error kNotConnected = 10057;  // WSAENOTCONN

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int ParseRelpFrame(std::string_view bytes, RelpFrame* frame, std::size_t* used) {
  std::size_t at = 0;
  // 1 when a field was read, 0 when more bytes may complete it, -1 when the
  // bytes are not a frame.
  auto number = [&](std::uint32_t* value) {
    std::size_t start = at;
    while (at < bytes.size() && bytes[at] >= '0' && bytes[at] <= '9') {
      if (++at - start > 9) return -1;
    }
    if (at == bytes.size()) return 0;
    if (at == start) return -1;
    std::from_chars(bytes.data() + start, bytes.data() + at, *value);
    return 1;
  };
  auto space = [&]() {
    if (at == bytes.size()) return 0;
    return bytes[at++] == ' ' ? 1 : -1;
  };
  int step = number(&frame->txnr);
  if (step > 0) step = space();
  if (step <= 0) return step;
  std::size_t start = at;
  while (at < bytes.size() && at - start <= 32 && bytes[at] >= 'a' && bytes[at] <= 'z') ++at;
  if (at == bytes.size()) return at - start <= 32 ? 0 : -1;
  if (at == start || at - start > 32) return -1;
  frame->command = bytes.substr(start, at - start);
  std::uint32_t length = 0;
  step = space();
  if (step > 0) step = number(&length);
  if (step <= 0) return step;
  if (length > kLongestAnswer) return -1;
  if (length > 0) {
    step = space();
    if (step <= 0) return step;
    if (bytes.size() - at < length) return 0;
    frame->data = bytes.substr(at, length);
    at += length;
  } else {
    frame->data = {};
  }
  if (at == bytes.size()) return 0;
  if (bytes[at++] != '\n') return -1;
  *used = at;
  return 1;
}

struct RelpClient::State {
  std::string host;
  std::uint16_t port = 0;
  std::uint32_t timeoutMs = 0;
  std::optional<TlsSettings> tls;

  // The connection; once inTls, the TLS session owns it.
  SocketHandle connection = kNoSocket;
  TlsClient session;
  bool inTls = false;
  bool connected = false;

  struct Pending {
    std::uint32_t txnr;
    std::string message;
  };
  std::uint32_t nextTxnr = 1;
  std::deque<Pending> unacked;
  // Frames gathered and not yet written, and answers not yet whole.
  std::string out;
  std::string in;
  std::string lastError;

  std::uint32_t TakeTxnr() {
    std::uint32_t txnr = nextTxnr;
    nextTxnr = nextTxnr == kLastTxnr ? 1 : nextTxnr + 1;
    return txnr;
  }

  void AppendFrame(std::uint32_t txnr, std::string_view command, std::string_view data) {
    char number[16];
    out.append(number, std::to_chars(number, number + sizeof number, txnr).ptr);
    out += ' ';
    out += command;
    out += ' ';
    out.append(number, std::to_chars(number, number + sizeof number, data.size()).ptr);
    if (!data.empty()) {
      out += ' ';
      out += data;
    }
    out += '\n';
  }

  void Drop() {
    if (inTls) {
      session.Close();
    } else if (connection != kNoSocket) {
      TcpClose(connection);
    }
    connection = kNoSocket;
    inTls = false;
    connected = false;
    out.clear();
    in.clear();
  }

  Win32Error Broken(std::string why, Win32Error code = kReset) {
    lastError = std::move(why);
    Drop();
    return code;
  }

  // Writes what is gathered, within the session's time.
  Win32Error Write() {
    std::int64_t deadline = NowMs() + timeoutMs;
    std::size_t done = 0;
    while (done < out.size()) {
      std::int64_t left = std::max<std::int64_t>(deadline - NowMs(), 0);
      long sent = inTls ? session.Send(out.data() + done, out.size() - done, static_cast<std::uint32_t>(left))
                        : TcpSend(connection, out.data() + done, out.size() - done, static_cast<std::uint32_t>(left));
      if (sent < 0) return Broken("the collector closed the connection");
      if (sent == 0 && left == 0) return Broken("the collector takes no data", kTimedOut);
      done += static_cast<std::size_t>(sent);
    }
    out.clear();
    return 0;
  }

  // Takes the collector's answers, waiting at most waitMs for the first
  // bytes. openTxnr names the open command whose answer is awaited (0 for
  // none); *opened is set once it came.
  Win32Error Read(std::uint32_t waitMs, std::uint32_t openTxnr = 0, bool* opened = nullptr) {
    char buffer[16 * 1024];
    // The collector answers each frame on its own, and holds the next
    // answer until the last one is acknowledged.
    TcpAcknowledgeAtOnce(connection);
    long got =
        inTls ? session.Receive(buffer, sizeof buffer, waitMs) : TcpReceive(connection, buffer, sizeof buffer, waitMs);
    if (got == -2) return 0;
    if (got == 0) return Broken("the collector closed the connection");
    if (got < 0) return Broken("the connection to the collector failed");
    in.append(buffer, static_cast<std::size_t>(got));
    std::size_t at = 0;
    for (;;) {
      RelpFrame frame;
      std::size_t used = 0;
      int parsed = ParseRelpFrame(std::string_view(in).substr(at), &frame, &used);
      if (parsed == 0) break;
      if (parsed < 0) return Broken("the collector sent something that is not RELP");
      at += used;
      if (frame.command == "serverclose") return Broken("the collector closed the session");
      if (frame.command != "rsp") return Broken("the collector sent a command a client does not take");
      bool ok = frame.data.substr(0, 3) == "200";
      if (frame.txnr == openTxnr && opened != nullptr) {
        if (!ok)
          return Broken("the collector refused the session: " + std::string(frame.data.substr(0, 200)), kRefused);
        if (frame.data.find("syslog") == std::string_view::npos) {
          return Broken("the collector does not take syslog messages over RELP", kRefused);
        }
        *opened = true;
        continue;
      }
      auto pending =
          std::find_if(unacked.begin(), unacked.end(), [&](const Pending& p) { return p.txnr == frame.txnr; });
      if (pending == unacked.end()) continue;  // the answer to our close
      // A message the collector refuses is not sent again: it would be
      // refused again, for ever.
      if (!ok) lastError = "the collector refused a message: " + std::string(frame.data.substr(0, 200));
      unacked.erase(pending);
    }
    in.erase(0, at);
    return 0;
  }

  Win32Error Open() {
    Drop();
    lastError.clear();
    nextTxnr = 1;
    Win32Error result = TcpConnect(host, port, timeoutMs, &connection);
    if (result != 0) return result;
    if (tls) {
      // The session owns the connection from here, also when it fails.
      inTls = true;
      result = session.Handshake(connection, host, *tls, timeoutMs, &lastError);
      if (result != 0) {
        inTls = false;
        connection = kNoSocket;
        return result;
      }
    }
    std::uint32_t txnr = TakeTxnr();
    AppendFrame(txnr, "open", "relp_version=0\nrelp_software=ScribeHost\ncommands=syslog");
    result = Write();
    std::int64_t deadline = NowMs() + timeoutMs;
    bool opened = false;
    while (result == 0 && !opened) {
      std::int64_t left = deadline - NowMs();
      if (left <= 0) return Broken("the collector did not answer the opening of a RELP session", kTimedOut);
      result = Read(static_cast<std::uint32_t>(left), txnr, &opened);
    }
    if (result != 0) return result;
    connected = true;
    // What the collector had not acknowledged goes out again, first.
    for (Pending& pending : unacked) {
      pending.txnr = TakeTxnr();
      AppendFrame(pending.txnr, "syslog", pending.message);
    }
    return Write();
  }

  // Writes what is gathered and takes the answers that came.
  Win32Error Flush() {
    if (!connected) return kNotConnected;
    Win32Error result = Write();
    return result != 0 ? result : Read(0);
  }

  // Waits within the session's time until the window has room.
  Win32Error WaitForRoom() {
    if (unacked.size() < kWindow) return 0;
    Win32Error result = Write();
    if (result != 0) return result;
    std::int64_t deadline = NowMs() + timeoutMs;
    while (unacked.size() > kWindow / 2) {
      std::int64_t left = deadline - NowMs();
      if (left <= 0) return Broken("the collector acknowledges nothing", kTimedOut);
      std::size_t before = unacked.size();
      result = Read(static_cast<std::uint32_t>(left));
      if (result != 0) return result;
      if (unacked.size() < before) deadline = NowMs() + timeoutMs;
    }
    return 0;
  }
};

RelpClient::RelpClient() : state_(std::make_unique<State>()) {}
RelpClient::~RelpClient() { Close(); }

Win32Error RelpClient::Connect(std::string_view host, std::uint16_t port, std::uint32_t timeoutSeconds,
                               const TlsSettings* tls) {
  State& s = *state_;
  s.Drop();
  s.unacked.clear();
  s.host = std::string(host);
  s.port = port;
  s.timeoutMs = timeoutSeconds * 1000;
  s.tls.reset();
  if (tls != nullptr) s.tls = *tls;
  return s.Open();
}

Win32Error RelpClient::Send(std::string_view message) {
  State& s = *state_;
  if (!s.connected) return kNotConnected;
  Win32Error result = s.WaitForRoom();
  if (result != 0) return result;
  std::uint32_t txnr = s.TakeTxnr();
  s.AppendFrame(txnr, "syslog", message);
  s.unacked.push_back({txnr, std::string(message)});
  return s.out.size() >= kWriteAt ? s.Flush() : Win32Error{0};
}

Win32Error RelpClient::Flush() { return state_->Flush(); }

Win32Error RelpClient::Reconnect() {
  if (state_->host.empty()) return kNotConnected;
  return state_->Open();
}

void RelpClient::Close() {
  State& s = *state_;
  if (s.connected) {
    std::uint32_t txnr = s.TakeTxnr();
    s.AppendFrame(txnr, "close", {});
    // The last acknowledgements, within the session's time.
    std::int64_t deadline = NowMs() + s.timeoutMs;
    if (s.Write() == 0) {
      while (s.connected && !s.unacked.empty()) {
        std::int64_t left = deadline - NowMs();
        if (left <= 0 || s.Read(static_cast<std::uint32_t>(left)) != 0) break;
      }
    }
  }
  s.Drop();
  s.unacked.clear();
  s.host.clear();
}

bool RelpClient::Connected() const { return state_->connected; }

std::string RelpClient::LastError() const { return state_->lastError; }

std::size_t RelpClient::Unacknowledged() const { return state_->unacked.size(); }

}  // namespace wl::platform
