// TLS through GnuTLS. The files are opened with the checked opens and their
// bytes handed to GnuTLS, so nothing is opened twice. The session runs on
// the non-blocking socket with every wait bounded by poll.
#include "platform/tls_client.h"

#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/posix/checked_open.h"
#include "platform/posix/tls_priorities.h"

namespace wl::platform {
namespace {

constexpr Win32Error kHandshakeFailed = 10054;      // WSAECONNRESET
constexpr Win32Error kBadCertificate = 0x800B0109;  // CERT_E_UNTRUSTEDROOT, a refusal of the peer
constexpr Win32Error kBadFile = 5;                  // ERROR_ACCESS_DENIED
constexpr Win32Error kTimedOut = 10060;
constexpr std::size_t kLongestFile = 1 << 20;
// How long a collector that asked for our certificate may take to refuse it.
constexpr std::int64_t kVerdictWaitMs = 500;

// GnuTLS is set up once per process (it is reference counted).
struct Library {
  Library() { gnutls_global_init(); }
  ~Library() { gnutls_global_deinit(); }
};

void EnsureLibrary() { static Library library; }

// Reads the whole file through the checked open; empty result and *why on
// refusal.
bool ReadChecked(const std::string& path, const char* what, bool secret, std::string* bytes, std::string* why) {
  posix::CheckedOpen open = posix::OpenChecked(path, O_RDONLY, 0);
  if (!open.Ok()) {
    *why = std::string("the ") + what + " " + path +
           " cannot be read: " + (open.refusal.empty() ? std::strerror(open.error) : open.refusal);
    return false;
  }
  int fd = open.descriptor.Get();
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    *why = std::string("the ") + what + " " + path + " cannot be examined: " + std::strerror(errno);
    return false;
  }
  if (secret && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    *why = std::string("the ") + what + " " + path + " is refused: its mode " + mode +
           " lets other users read it (it must be 0600 or 0400)";
    return false;
  }
  if (static_cast<std::size_t>(info.st_size) > kLongestFile) {
    *why = std::string("the ") + what + " " + path + " is refused: it is larger than 1 MiB";
    return false;
  }
  bytes->clear();
  char buffer[8192];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *why = std::string("the ") + what + " " + path + " cannot be read: " + std::strerror(errno);
      return false;
    }
    if (got == 0) break;
    bytes->append(buffer, static_cast<std::size_t>(got));
    if (bytes->size() > kLongestFile) {
      *why = std::string("the ") + what + " " + path + " is refused: it is larger than 1 MiB";
      return false;
    }
  }
  return true;
}

struct Files {
  std::string ca, cert, key;
};

bool LoadFiles(const TlsSettings& settings, Files* files, std::string* why) {
  if (settings.caFile.empty()) {
    *why = "no CA file is set (ForwardTlsCaFile)";
    return false;
  }
  if (settings.certFile.empty() != settings.keyFile.empty()) {
    *why = "a client certificate needs its key and the key its certificate (ForwardTlsCertFile, ForwardTlsKeyFile)";
    return false;
  }
  if (!ReadChecked(settings.caFile, "CA file", false, &files->ca, why)) return false;
  if (settings.certFile.empty()) return true;
  return ReadChecked(settings.certFile, "certificate file", false, &files->cert, why) &&
         ReadChecked(settings.keyFile, "key file", true, &files->key, why);
}

gnutls_datum_t Datum(const std::string& bytes) {
  return gnutls_datum_t{reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())),
                        static_cast<unsigned int>(bytes.size())};
}

std::string Fingerprint(const gnutls_datum_t& der, gnutls_digest_algorithm_t algorithm, const char* prefix) {
  unsigned char digest[64];
  std::size_t size = sizeof digest;
  if (gnutls_fingerprint(algorithm, &der, digest, &size) != 0) return {};
  std::string text = prefix;
  char hex[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : ":%02X", digest[i]);
    text += hex;
  }
  return text;
}

bool SameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '.' || text.back() == ' ')) text.pop_back();
  return text;
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Writes for GnuTLS without raising SIGPIPE: a collector that vanished
// breaks the session, not the process.
ssize_t PushWithoutSignal(gnutls_transport_ptr_t transport, const giovec_t* parts, int count) {
  msghdr message{};
  message.msg_iov = reinterpret_cast<iovec*>(const_cast<giovec_t*>(parts));
  message.msg_iovlen = static_cast<std::size_t>(count);
  return sendmsg(static_cast<int>(reinterpret_cast<std::intptr_t>(transport)), &message, MSG_NOSIGNAL);
}

// Waits until the socket can go on in the direction GnuTLS last wanted;
// false when the time ran out.
bool WaitForSession(gnutls_session_t session, int fd, std::int64_t deadline) {
  for (;;) {
    std::int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd entry{fd, static_cast<short>(gnutls_record_get_direction(session) == 1 ? POLLOUT : POLLIN), 0};
    int ready = poll(&entry, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;  // the next call reports the error
  }
}

}  // namespace

std::string TlsFilesRefusal(const TlsSettings& settings) {
  Files files;
  std::string why;
  if (!LoadFiles(settings, &files, &why)) return why;
  return {};
}

struct TlsClient::State {
  gnutls_certificate_credentials_t credentials = nullptr;
  gnutls_session_t session = nullptr;
  int fd = -1;

  void Clear() {
    if (session != nullptr) gnutls_deinit(session);
    session = nullptr;
    if (credentials != nullptr) gnutls_certificate_free_credentials(credentials);
    credentials = nullptr;
    if (fd >= 0) TcpClose(fd);
    fd = -1;
  }
  ~State() { Clear(); }

  // Whether the collector's certificate checks out; *why when not.
  bool Verify(const std::string& host, const TlsSettings& settings, std::string* why) {
    unsigned status = 0;
    int result = gnutls_certificate_verify_peers2(session, &status);
    if (result < 0) {
      *why = std::string("the collector's certificate could not be checked: ") + gnutls_strerror(result);
      return false;
    }
    if (status != 0) {
      gnutls_datum_t text{};
      std::string words = "it does not check out";
      if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0) == 0) {
        words = Trimmed(std::string(reinterpret_cast<char*>(text.data), text.size));
        gnutls_free(text.data);
      }
      *why = "the collector's certificate is refused: " + words;
      return false;
    }
    unsigned count = 0;
    const gnutls_datum_t* chain = gnutls_certificate_get_peers(session, &count);
    if (chain == nullptr || count == 0) {
      *why = "the collector showed no certificate";
      return false;
    }
    if (settings.mode == TlsAuthMode::CertValid) return true;
    if (settings.mode == TlsAuthMode::Fingerprint) {
      std::string sha256 = Fingerprint(chain[0], GNUTLS_DIG_SHA256, "SHA256:");
      std::string sha1 = Fingerprint(chain[0], GNUTLS_DIG_SHA1, "SHA1:");
      for (const std::string& peer : settings.peers) {
        if (SameNoCase(peer, sha256) || SameNoCase(peer, sha1)) return true;
      }
      *why = "the collector's certificate " + sha256 + " (" + sha1 + ") is not among the permitted peers";
      return false;
    }
    gnutls_x509_crt_t certificate = nullptr;
    if (gnutls_x509_crt_init(&certificate) != 0) {
      *why = "out of memory";
      return false;
    }
    bool named = false;
    if (gnutls_x509_crt_import(certificate, &chain[0], GNUTLS_X509_FMT_DER) == 0) {
      named = gnutls_x509_crt_check_hostname2(certificate, host.c_str(), 0) != 0;
      for (std::size_t i = 0; !named && i < settings.peers.size(); ++i) {
        named = gnutls_x509_crt_check_hostname2(certificate, settings.peers[i].c_str(), 0) != 0;
      }
    }
    gnutls_x509_crt_deinit(certificate);
    if (!named) *why = NotNamedReason(host, settings);
    return named;
  }
};

TlsClient::TlsClient() : state_(std::make_unique<State>()) {}
TlsClient::~TlsClient() { Close(); }

Win32Error TlsClient::Handshake(SocketHandle socket, const std::string& host, const TlsSettings& settings,
                                std::uint32_t timeoutMs, std::string* why) {
  EnsureLibrary();
  State& s = *state_;
  s.Clear();
  s.fd = static_cast<int>(socket);
  std::int64_t deadline = NowMs() + timeoutMs;
  Files files;
  if (!LoadFiles(settings, &files, why)) {
    s.Clear();
    return kBadFile;
  }
  auto fail = [&](const char* step, int result) {
    *why = std::string(step) + ": " + gnutls_strerror(result);
    s.Clear();
    return kHandshakeFailed;
  };
  int result = gnutls_certificate_allocate_credentials(&s.credentials);
  if (result < 0) return fail("TLS cannot start", result);
  gnutls_datum_t ca = Datum(files.ca);
  result = gnutls_certificate_set_x509_trust_mem(s.credentials, &ca, GNUTLS_X509_FMT_PEM);
  if (result <= 0) {
    *why = "the CA file " + settings.caFile + " holds no usable certificate" +
           (result < 0 ? std::string(": ") + gnutls_strerror(result) : std::string());
    s.Clear();
    return kBadFile;
  }
  if (!files.cert.empty()) {
    gnutls_datum_t cert = Datum(files.cert);
    gnutls_datum_t key = Datum(files.key);
    result = gnutls_certificate_set_x509_key_mem2(s.credentials, &cert, &key, GNUTLS_X509_FMT_PEM, nullptr, 0);
    // The key's bytes are no longer needed.
    gnutls_memset(files.key.data(), 0, files.key.size());
    if (result < 0) {
      *why = "the certificate " + settings.certFile + " and key " + settings.keyFile +
             " cannot be used: " + gnutls_strerror(result);
      s.Clear();
      return kBadFile;
    }
  }
  result = gnutls_init(&s.session, GNUTLS_CLIENT | GNUTLS_NONBLOCK);
  if (result < 0) return fail("TLS cannot start", result);
  const char* errorAt = nullptr;
  result = gnutls_priority_set_direct(s.session, posix::kTlsPriorities, &errorAt);
  if (result < 0) return fail("TLS 1.2 and 1.3 cannot be set", result);
  result = gnutls_credentials_set(s.session, GNUTLS_CRD_CERTIFICATE, s.credentials);
  if (result < 0) return fail("TLS cannot start", result);
  // A name (not an address) goes with the hello, for collectors with a
  // certificate per name.
  if (host.find_first_not_of("0123456789.:") != std::string::npos) {
    (void)gnutls_server_name_set(s.session, GNUTLS_NAME_DNS, host.data(), host.size());
  }
  gnutls_transport_set_int(s.session, s.fd);
  gnutls_transport_set_vec_push_function(s.session, PushWithoutSignal);
  gnutls_handshake_set_timeout(s.session, 0);
  for (;;) {
    result = gnutls_handshake(s.session);
    if (result == GNUTLS_E_SUCCESS) break;
    if (result == GNUTLS_E_AGAIN || result == GNUTLS_E_INTERRUPTED) {
      if (!WaitForSession(s.session, s.fd, deadline)) {
        *why = "the collector did not complete a TLS handshake in time (does it speak TLS on this port?)";
        s.Clear();
        return kTimedOut;
      }
      continue;
    }
    if (gnutls_error_is_fatal(result) == 0) continue;
    if (result == GNUTLS_E_FATAL_ALERT_RECEIVED) {
      *why = std::string("the collector refused the TLS handshake: ") +
             gnutls_alert_get_name(gnutls_alert_get(s.session)) +
             (files.cert.empty() ? " (does it require a client certificate?)" : "");
      s.Clear();
      return kHandshakeFailed;
    }
    return fail("the TLS handshake failed", result);
  }
  if (!s.Verify(host, settings, why)) {
    // Tell the collector why we leave; no record of ours has gone out.
    (void)gnutls_alert_send(s.session, GNUTLS_AL_FATAL, GNUTLS_A_BAD_CERTIFICATE);
    s.Clear();
    return kBadCertificate;
  }
  // In TLS 1.3 our side of the handshake ends before the collector has
  // judged our certificate (or its absence); what we sent before its
  // verdict would be lost. When it asked for one, its verdict is awaited a
  // moment: an alert or a close is a refusal.
  if (gnutls_certificate_client_get_request_status(s.session) != 0) {
    std::int64_t verdict = std::min(deadline, NowMs() + kVerdictWaitMs);
    char buffer[256];
    for (;;) {
      ssize_t got = gnutls_record_recv(s.session, buffer, sizeof buffer);
      if (got == GNUTLS_E_AGAIN || got == GNUTLS_E_INTERRUPTED) {
        if (!WaitForSession(s.session, s.fd, verdict)) break;
        continue;
      }
      if (got > 0 || (got < 0 && gnutls_error_is_fatal(static_cast<int>(got)) == 0)) continue;
      std::string detail = got == GNUTLS_E_FATAL_ALERT_RECEIVED
                               ? std::string(" (") + gnutls_alert_get_name(gnutls_alert_get(s.session)) + ")"
                               : std::string();
      *why = files.cert.empty() ? "the collector asks for a client certificate and ended the session" + detail +
                                      " (set ForwardTlsCertFile and ForwardTlsKeyFile)"
                                : "the collector refused our client certificate " + settings.certFile + detail;
      s.Clear();
      return kHandshakeFailed;
    }
  }
  return 0;
}

long TlsClient::Send(const void* data, std::size_t size, std::uint32_t timeoutMs) {
  State& s = *state_;
  if (s.session == nullptr) return -1;
  std::int64_t deadline = NowMs() + timeoutMs;
  std::size_t taken = 0;
  while (taken < size) {
    ssize_t sent = gnutls_record_send(s.session, static_cast<const char*>(data) + taken, size - taken);
    if (sent > 0) {
      taken += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent == GNUTLS_E_AGAIN || sent == GNUTLS_E_INTERRUPTED) {
      // The record in progress is passed again by the next call (same bytes).
      if (taken > 0 || !WaitForSession(s.session, s.fd, deadline)) break;
      continue;
    }
    return -1;
  }
  return static_cast<long>(taken);
}

long TlsClient::Receive(void* data, std::size_t size, std::uint32_t timeoutMs) {
  State& s = *state_;
  if (s.session == nullptr) return -1;
  std::int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    ssize_t got = gnutls_record_recv(s.session, data, size);
    if (got >= 0) return static_cast<long>(got);
    if (got != GNUTLS_E_AGAIN && got != GNUTLS_E_INTERRUPTED && gnutls_error_is_fatal(static_cast<int>(got)) != 0) {
      return -1;
    }
    // Housekeeping (a session ticket) or nothing yet: wait for more.
    if (!WaitForSession(s.session, s.fd, deadline)) return -2;
  }
}

void TlsClient::Close() {
  State& s = *state_;
  if (s.session != nullptr) (void)gnutls_bye(s.session, GNUTLS_SHUT_WR);
  s.Clear();
}

}  // namespace wl::platform
