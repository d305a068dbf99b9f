// TLS through the system's own provider (Schannel). The collector's
// certificate is checked here, after the handshake and before anything of
// ours is sent: the chain must reach a certificate of the CA file (not
// merely a root this machine trusts), every certificate on it must be in
// its validity period, and then its names or fingerprint must match. The
// Windows build shows no client certificate: one in the settings is
// refused with a reason. The files are read with the ordinary open (the
// Windows build has no owner or access checks for files it reads).
#include "platform/tls_client.h"

#define SECURITY_WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before windows.h.
#include <bcrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <wincrypt.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/system_message.h"
#include "platform/text.h"

namespace wl::platform {
namespace {

constexpr Win32Error kHandshakeFailed = 10054;      // WSAECONNRESET
constexpr Win32Error kBadCertificate = 0x800B0109;  // CERT_E_UNTRUSTEDROOT, a refusal of the peer
constexpr Win32Error kBadFile = 5;                  // ERROR_ACCESS_DENIED
constexpr Win32Error kTimedOut = 10060;
constexpr std::size_t kLongestFile = 1 << 20;
constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR;
// How long a collector that asked for a certificate may take to refuse us.
constexpr std::int64_t kVerdictWaitMs = 500;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::uint32_t MsUntil(std::int64_t deadline) {
  std::int64_t left = deadline - NowMs();
  return left <= 0 ? 0u : static_cast<std::uint32_t>(left);
}

std::string Words(std::uint32_t code) {
  std::string text = Utf8FromWide(FormatSystemMessage(code));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.' || text.back() == ' ')) {
    text.pop_back();
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
  return text.empty() ? std::string(hex) : text + " (" + hex + ")";
}

// Reads the whole file; false and *why when it cannot be read.
bool ReadWhole(const std::string& path, const char* what, std::string* bytes, std::string* why) {
  HANDLE file = ::CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *why = std::string("the ") + what + " " + path + " cannot be read: " + Words(::GetLastError());
    return false;
  }
  bytes->clear();
  bool ok = true;
  char buffer[8192];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      *why = std::string("the ") + what + " " + path + " cannot be read: " + Words(::GetLastError());
      ok = false;
      break;
    }
    if (got == 0) break;
    bytes->append(buffer, got);
    if (bytes->size() > kLongestFile) {
      *why = std::string("the ") + what + " " + path + " is refused: it is larger than 1 MiB";
      ok = false;
      break;
    }
  }
  ::CloseHandle(file);
  return ok;
}

bool LoadFiles(const TlsSettings& settings, std::string* ca, std::string* why) {
  if (settings.caFile.empty()) {
    *why = "no CA file is set (ForwardTlsCaFile)";
    return false;
  }
  if (settings.certFile.empty() != settings.keyFile.empty()) {
    *why = "a client certificate needs its key and the key its certificate (ForwardTlsCertFile, ForwardTlsKeyFile)";
    return false;
  }
  if (!settings.certFile.empty()) {
    *why = "the Windows build shows no client certificate: ForwardTlsCertFile and ForwardTlsKeyFile are refused";
    return false;
  }
  return ReadWhole(settings.caFile, "CA file", ca, why);
}

// The certificates of a PEM text, in a store of their own; null when it
// holds none.
HCERTSTORE ParsePem(const std::string& pem) {
  HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
  if (store == nullptr) return nullptr;
  static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  int count = 0;
  for (std::size_t at = pem.find(kBegin); at != std::string::npos; at = pem.find(kBegin, at + 1)) {
    std::size_t end = pem.find(kEnd, at);
    if (end == std::string::npos) break;
    std::string block = pem.substr(at, end + kEnd.size() - at);
    DWORD size = 0;
    if (!::CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                &size, nullptr, nullptr)) {
      continue;
    }
    std::string der(size, '\0');
    if (!::CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                                reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr)) {
      continue;
    }
    if (::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), size,
                                           CERT_STORE_ADD_ALWAYS, nullptr)) {
      ++count;
    }
  }
  if (count == 0) {
    ::CertCloseStore(store, 0);
    return nullptr;
  }
  return store;
}

bool InStore(HCERTSTORE store, PCCERT_CONTEXT certificate) {
  for (PCCERT_CONTEXT known = ::CertEnumCertificatesInStore(store, nullptr); known != nullptr;
       known = ::CertEnumCertificatesInStore(store, known)) {
    if (known->cbCertEncoded == certificate->cbCertEncoded &&
        std::memcmp(known->pbCertEncoded, certificate->pbCertEncoded, known->cbCertEncoded) == 0) {
      ::CertFreeCertificateContext(known);
      return true;
    }
  }
  return false;
}

std::string Fingerprint(PCCERT_CONTEXT certificate, const wchar_t* algorithm, const char* prefix) {
  BYTE digest[64];
  DWORD size = sizeof digest;
  if (!::CryptHashCertificate2(algorithm, 0, nullptr, certificate->pbCertEncoded, certificate->cbCertEncoded, digest,
                               &size)) {
    return {};
  }
  std::string text = prefix;
  char hex[4];
  for (DWORD i = 0; i < size; ++i) {
    std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : ":%02X", digest[i]);
    text += hex;
  }
  return text;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// A certificate's DNS name against a host name: a leading "*." stands for
// exactly one whole label, and never for part of a dotless name.
bool NameMatches(std::string_view pattern, std::string_view host) {
  while (!host.empty() && host.back() == '.') host.remove_suffix(1);
  while (!pattern.empty() && pattern.back() == '.') pattern.remove_suffix(1);
  if (pattern.size() > 2 && pattern.starts_with("*.")) {
    std::string_view rest = pattern.substr(1);  // ".example.com"
    if (rest.find('.', 1) == std::string_view::npos) return false;
    std::size_t dot = host.find('.');
    return dot != std::string_view::npos && dot > 0 && SameNoCase(host.substr(dot), rest);
  }
  return SameNoCase(pattern, host);
}

// The address written in text, in network order; empty for a name.
std::string AddressBytes(const std::string& text) {
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) return std::string(reinterpret_cast<const char*>(&v4), 4);
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) return std::string(reinterpret_cast<const char*>(&v6), 16);
  return {};
}

// Whether the certificate names host: its subjectAltName DNS names or
// addresses, or its common name when it has no DNS names.
bool Names(PCCERT_CONTEXT certificate, const std::string& host) {
  std::string address = AddressBytes(host);
  bool hasDnsNames = false;
  PCERT_EXTENSION extension = ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                                                  certificate->pCertInfo->rgExtension);
  if (extension != nullptr) {
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                              CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
      bool found = false;
      for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
          hasDnsNames = true;
          found = address.empty() && NameMatches(Utf8FromWide(entry.pwszDNSName), host);
        } else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && !address.empty()) {
          found = entry.IPAddress.cbData == address.size() &&
                  std::memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0;
        }
      }
      ::LocalFree(names);
      if (found) return true;
    }
  }
  if (hasDnsNames || !address.empty()) return false;
  wchar_t common[256] = {};
  DWORD length = ::CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), common,
                                      sizeof common / sizeof common[0]);
  return length > 1 && NameMatches(Utf8FromWide(common), host);
}

}  // namespace

std::string TlsFilesRefusal(const TlsSettings& settings) {
  std::string ca;
  std::string why;
  if (!LoadFiles(settings, &ca, &why)) return why;
  return {};
}

struct TlsClient::State {
  SOCKET socket = INVALID_SOCKET;
  CredHandle credentials{};
  bool haveCredentials = false;
  CtxtHandle context{};
  bool haveContext = false;
  SecPkgContext_StreamSizes sizes{};
  // Received and not yet decrypted, and decrypted and not yet taken.
  std::string incoming;
  std::string plain;
  // An encrypted record not yet wholly sent, the plain bytes it carries, and
  // how much of it went out.
  std::string pending;
  std::size_t pendingPlain = 0;
  std::size_t pendingSent = 0;

  void Clear() {
    if (haveContext) ::DeleteSecurityContext(&context);
    haveContext = false;
    if (haveCredentials) ::FreeCredentialsHandle(&credentials);
    haveCredentials = false;
    if (socket != INVALID_SOCKET) TcpClose(static_cast<SocketHandle>(socket));
    socket = INVALID_SOCKET;
    incoming.clear();
    plain.clear();
    pending.clear();
    pendingPlain = pendingSent = 0;
  }
  ~State() { Clear(); }

  // Sends the whole token before the deadline; false when it could not.
  bool SendAll(const void* data, std::size_t size, std::int64_t deadline) {
    std::size_t sent = 0;
    while (sent < size) {
      long count = TcpSend(static_cast<SocketHandle>(socket), static_cast<const char*>(data) + sent, size - sent,
                           MsUntil(deadline));
      if (count < 0) return false;
      if (count == 0 && MsUntil(deadline) == 0) return false;
      sent += static_cast<std::size_t>(count);
    }
    return true;
  }

  // Adds what the collector sent to incoming: 1, 0 when the time ran out,
  // -1 when the connection ended or failed.
  int Receive(std::int64_t deadline) {
    char buffer[16384];
    long got = TcpReceive(static_cast<SocketHandle>(socket), buffer, sizeof buffer, MsUntil(deadline));
    if (got == -2) return 0;
    if (got <= 0) return -1;
    incoming.append(buffer, static_cast<std::size_t>(got));
    return 1;
  }

  // Sends a token that InitializeSecurityContextW produced, and frees it.
  bool SendToken(SecBuffer& token, std::int64_t deadline) {
    if (token.pvBuffer == nullptr) return true;
    bool sent = token.cbBuffer == 0 || SendAll(token.pvBuffer, token.cbBuffer, deadline);
    ::FreeContextBuffer(token.pvBuffer);
    token.pvBuffer = nullptr;
    return sent;
  }

  // One step of the handshake with what came in; *asked when the collector
  // asked for a certificate of ours.
  SECURITY_STATUS Step(const std::wstring& target, std::int64_t deadline, bool* asked) {
    SecBuffer in[2] = {{static_cast<unsigned long>(incoming.size()), SECBUFFER_TOKEN, incoming.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
    ULONG attributes = 0;
    bool first = !haveContext;
    SECURITY_STATUS status = ::InitializeSecurityContextW(
        &credentials, first ? nullptr : &context, target.empty() ? nullptr : const_cast<wchar_t*>(target.c_str()),
        kContextFlags, 0, 0, first ? nullptr : &inDesc, 0, &context, &outDesc, &attributes, nullptr);
    if (first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED || status == SEC_I_INCOMPLETE_CREDENTIALS)) {
      haveContext = true;
    }
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) *asked = true;
    if (!SendToken(out[0], deadline)) return SEC_E_INTERNAL_ERROR;
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) {
      if (!first && in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0) {
        incoming.erase(0, incoming.size() - in[1].cbBuffer);
      } else if (!first) {
        incoming.clear();
      }
    }
    return status;
  }

  // Decrypts what came in, adding the data to plain: 1 when something was
  // taken, 0 when a whole record has not yet arrived, -1 when the session
  // ended (close_notify) or failed.
  int Decrypt() {
    while (!incoming.empty()) {
      SecBuffer buffers[4] = {{static_cast<unsigned long>(incoming.size()), SECBUFFER_DATA, incoming.data()},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
      SECURITY_STATUS status = ::DecryptMessage(&context, &desc, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) return 0;
      std::string extra;
      for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer > 0) {
          extra.assign(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
        } else if (status == SEC_E_OK && buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
          plain.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
        }
      }
      incoming = std::move(extra);
      if (status == SEC_I_RENEGOTIATE) {
        // Post-handshake messages (session tickets): handed back to the
        // provider; a real renegotiation is not taken.
        bool asked = false;
        if (Step(std::wstring(), NowMs() + 1000, &asked) != SEC_E_OK) return -1;
        continue;
      }
      if (status != SEC_E_OK) return -1;
    }
    return 1;
  }

  // Whether the collector's certificate checks out; *why when not.
  bool Verify(HCERTSTORE authorities, const std::string& host, const TlsSettings& settings, std::string* why) {
    PCCERT_CONTEXT peer = nullptr;
    SECURITY_STATUS status = ::QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer);
    if (status != SEC_E_OK || peer == nullptr) {
      *why = "the collector showed no certificate";
      return false;
    }
    bool ok = VerifyChain(peer, authorities, why) && VerifyPeer(peer, host, settings, why);
    ::CertFreeCertificateContext(peer);
    return ok;
  }

  static bool VerifyChain(PCCERT_CONTEXT peer, HCERTSTORE authorities, std::string* why) {
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!::CertGetCertificateChain(nullptr, peer, nullptr, authorities, &para, 0, nullptr, &chain)) {
      *why = "the collector's certificate could not be checked: " + Words(::GetLastError());
      return false;
    }
    std::string fault;
    const CERT_SIMPLE_CHAIN* simple = chain->cChain > 0 ? chain->rgpChain[0] : nullptr;
    DWORD anchor = simple == nullptr ? 0 : simple->cElement;
    for (DWORD i = 0; simple != nullptr && i < simple->cElement; ++i) {
      if (InStore(authorities, simple->rgpElement[i]->pCertContext)) {
        anchor = i;
        break;
      }
    }
    if (simple == nullptr || anchor == simple->cElement) {
      fault = "The certificate is NOT trusted. The certificate issuer is unknown";
    }
    for (DWORD i = 0; fault.empty() && i <= anchor; ++i) {
      PCCERT_CONTEXT certificate = simple->rgpElement[i]->pCertContext;
      LONG time = ::CertVerifyTimeValidity(nullptr, certificate->pCertInfo);
      if (time > 0) {
        fault = "The certificate is NOT trusted. The certificate chain uses expired certificate";
      } else if (time < 0) {
        fault = "The certificate is NOT trusted. The certificate chain uses not yet valid certificate";
      } else if (i < anchor && !::CryptVerifyCertificateSignatureEx(
                                   0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
                                   const_cast<CERT_CONTEXT*>(certificate), CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
                                   const_cast<CERT_CONTEXT*>(simple->rgpElement[i + 1]->pCertContext), 0, nullptr)) {
        fault = "The certificate is NOT trusted. The signature in the certificate is invalid";
      }
    }
    ::CertFreeCertificateChain(chain);
    if (fault.empty()) return true;
    *why = "the collector's certificate is refused: " + fault;
    return false;
  }

  static bool VerifyPeer(PCCERT_CONTEXT peer, const std::string& host, const TlsSettings& settings, std::string* why) {
    if (settings.mode == TlsAuthMode::CertValid) return true;
    if (settings.mode == TlsAuthMode::Fingerprint) {
      std::string sha256 = Fingerprint(peer, BCRYPT_SHA256_ALGORITHM, "SHA256:");
      std::string sha1 = Fingerprint(peer, BCRYPT_SHA1_ALGORITHM, "SHA1:");
      for (const std::string& wanted : settings.peers) {
        if ((!sha256.empty() && SameNoCase(wanted, sha256)) || (!sha1.empty() && SameNoCase(wanted, sha1))) {
          return true;
        }
      }
      *why = "the collector's certificate " + sha256 + " (" + sha1 + ") is not among the permitted peers";
      return false;
    }
    bool named = Names(peer, host);
    for (std::size_t i = 0; !named && i < settings.peers.size(); ++i) named = Names(peer, settings.peers[i]);
    if (!named) *why = NotNamedReason(host, settings);
    return named;
  }
};

TlsClient::TlsClient() : state_(std::make_unique<State>()) {}
TlsClient::~TlsClient() { Close(); }

Win32Error TlsClient::Handshake(SocketHandle socket, const std::string& host, const TlsSettings& settings,
                                std::uint32_t timeoutMs, std::string* why) {
  State& s = *state_;
  s.Clear();
  s.socket = static_cast<SOCKET>(socket);
  std::int64_t deadline = NowMs() + timeoutMs;
  std::string caText;
  if (!LoadFiles(settings, &caText, why)) {
    s.Clear();
    return kBadFile;
  }
  HCERTSTORE authorities = ParsePem(caText);
  if (authorities == nullptr) {
    *why = "the CA file " + settings.caFile + " holds no usable certificate";
    s.Clear();
    return kBadFile;
  }
  struct StoreCloser {
    HCERTSTORE store;
    ~StoreCloser() { ::CertCloseStore(store, 0); }
  } closer{authorities};

  SCHANNEL_CRED credential{};
  credential.dwVersion = SCHANNEL_CRED_VERSION;
  credential.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  // TLS 1.2 and 1.3; a provider without 1.3 is asked for 1.2 alone.
  SECURITY_STATUS status = SEC_E_UNSUPPORTED_FUNCTION;
  for (DWORD protocols : {DWORD{SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT}, DWORD{SP_PROT_TLS1_2_CLIENT}}) {
    credential.grbitEnabledProtocols = protocols;
    status = ::AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                         &credential, nullptr, nullptr, &s.credentials, nullptr);
    if (status == SEC_E_OK) break;
  }
  if (status != SEC_E_OK) {
    *why = "TLS cannot start: " + Words(static_cast<std::uint32_t>(status));
    s.Clear();
    return kHandshakeFailed;
  }
  s.haveCredentials = true;

  // A name (not an address) goes with the hello, for collectors with a
  // certificate per name.
  std::wstring target = AddressBytes(host).empty() ? WideFromUtf8(host) : std::wstring();
  bool asked = false;
  for (;;) {
    status = s.Step(target, deadline, &asked);
    if (status == SEC_E_OK) break;
    if (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE) {
      if (status == SEC_I_CONTINUE_NEEDED && !s.incoming.empty()) continue;
      int got = s.Receive(deadline);
      if (got == 0) {
        *why = "the collector did not complete a TLS handshake in time (does it speak TLS on this port?)";
        s.Clear();
        return kTimedOut;
      }
      if (got < 0) {
        *why = "the TLS handshake failed: the collector ended the connection (does it speak TLS on this port?)";
        s.Clear();
        return kHandshakeFailed;
      }
      continue;
    }
    // Asked for a certificate that we do not have: go on without one.
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) continue;
    // The provider does not tell a refusal of the collector (an alert) from
    // other faults; the likeliest cause of a refusal is named.
    *why = "the TLS handshake failed: " + Words(static_cast<std::uint32_t>(status)) +
           " (does the collector require a client certificate?)";
    s.Clear();
    return kHandshakeFailed;
  }
  if (!s.Verify(authorities, host, settings, why)) {
    // No record of ours has gone out.
    s.Clear();
    return kBadCertificate;
  }
  status = ::QueryContextAttributesW(&s.context, SECPKG_ATTR_STREAM_SIZES, &s.sizes);
  if (status != SEC_E_OK || s.sizes.cbMaximumMessage == 0) {
    *why = "the TLS session cannot be used: " + Words(static_cast<std::uint32_t>(status));
    s.Clear();
    return kHandshakeFailed;
  }
  // A collector that asked for a certificate of ours may end the session
  // after the handshake (in TLS 1.3 our side ends before it has judged):
  // its verdict is awaited a moment. The provider does not always say that
  // it was asked, so the wait is taken every time.
  {
    std::int64_t verdict = std::min(deadline, NowMs() + kVerdictWaitMs);
    for (;;) {
      int decrypted = s.Decrypt();
      if (decrypted >= 0) {
        int got = s.Receive(verdict);
        if (got == 0) break;
        if (got > 0) continue;
      }
      *why = asked ? "the collector asks for a client certificate and ended the session (the Windows build shows none)"
                   : "the collector ended the session after the TLS handshake (does it require a client "
                     "certificate? the Windows build shows none)";
      s.Clear();
      return kHandshakeFailed;
    }
  }
  return 0;
}

long TlsClient::Send(const void* data, std::size_t size, std::uint32_t timeoutMs) {
  State& s = *state_;
  if (!s.haveContext) return -1;
  // A record left over from a call that ran out of time carries the first
  // bytes of this one.
  if (!s.pending.empty() && size < s.pendingPlain) return -1;
  std::int64_t deadline = NowMs() + timeoutMs;
  std::size_t taken = 0;
  while (taken < size) {
    if (s.pending.empty()) {
      std::size_t chunk = std::min<std::size_t>(size - taken, s.sizes.cbMaximumMessage);
      s.pending.resize(s.sizes.cbHeader + chunk + s.sizes.cbTrailer);
      std::memcpy(s.pending.data() + s.sizes.cbHeader, static_cast<const char*>(data) + taken, chunk);
      SecBuffer buffers[4] = {
          {s.sizes.cbHeader, SECBUFFER_STREAM_HEADER, s.pending.data()},
          {static_cast<unsigned long>(chunk), SECBUFFER_DATA, s.pending.data() + s.sizes.cbHeader},
          {s.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, s.pending.data() + s.sizes.cbHeader + chunk},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
      if (::EncryptMessage(&s.context, 0, &desc, 0) != SEC_E_OK) return -1;
      s.pending.resize(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
      s.pendingPlain = chunk;
      s.pendingSent = 0;
    }
    while (s.pendingSent < s.pending.size()) {
      long sent = TcpSend(static_cast<SocketHandle>(s.socket), s.pending.data() + s.pendingSent,
                          s.pending.size() - s.pendingSent, MsUntil(deadline));
      if (sent < 0) return -1;
      // The record in progress is finished by the next call (same bytes).
      if (sent == 0) return static_cast<long>(taken);
      s.pendingSent += static_cast<std::size_t>(sent);
    }
    taken += s.pendingPlain;
    s.pending.clear();
    s.pendingPlain = s.pendingSent = 0;
  }
  return static_cast<long>(taken);
}

long TlsClient::Receive(void* data, std::size_t size, std::uint32_t timeoutMs) {
  State& s = *state_;
  if (!s.haveContext) return -1;
  std::int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    if (s.plain.empty() && s.Decrypt() < 0 && s.plain.empty()) return -1;
    if (!s.plain.empty()) {
      std::size_t count = std::min(size, s.plain.size());
      std::memcpy(data, s.plain.data(), count);
      s.plain.erase(0, count);
      return static_cast<long>(count);
    }
    int got = s.Receive(deadline);
    if (got == 0) return -2;
    if (got < 0) return -1;
  }
}

void TlsClient::Close() {
  State& s = *state_;
  if (s.haveContext && s.socket != INVALID_SOCKET) {
    // close_notify, if it goes out at once.
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
    if (::ApplyControlToken(&s.context, &controlDesc) == SEC_E_OK) {
      SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
      SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
      ULONG attributes = 0;
      SECURITY_STATUS status = ::InitializeSecurityContextW(&s.credentials, &s.context, nullptr, kContextFlags, 0, 0,
                                                            nullptr, 0, &s.context, &outDesc, &attributes, nullptr);
      if ((status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) && out.pvBuffer != nullptr && s.pending.empty()) {
        (void)TcpSend(static_cast<SocketHandle>(s.socket), out.pvBuffer, out.cbBuffer, 0);
      }
      if (out.pvBuffer != nullptr) ::FreeContextBuffer(out.pvBuffer);
    }
  }
  s.Clear();
}

}  // namespace wl::platform
