// The portable part of the TLS client: the names of the modes and the words
// of a refusal by name.
#include "platform/tls_client.h"

namespace wl::platform {

bool ParseTlsAuthMode(std::string_view text, TlsAuthMode* mode) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lower == "name") {
    *mode = TlsAuthMode::Name;
  } else if (lower == "fingerprint") {
    *mode = TlsAuthMode::Fingerprint;
  } else if (lower == "certvalid") {
    *mode = TlsAuthMode::CertValid;
  } else {
    return false;
  }
  return true;
}

std::string NotNamedReason(const std::string& host, const TlsSettings& settings) {
  std::string why = "the collector's certificate does not name " + host;
  if (!settings.peers.empty()) why += " nor a permitted peer";
  return why;
}

std::string_view TlsAuthModeName(TlsAuthMode mode) {
  switch (mode) {
    case TlsAuthMode::Fingerprint:
      return "fingerprint";
    case TlsAuthMode::CertValid:
      return "certvalid";
    case TlsAuthMode::Name:
      break;
  }
  return "name";
}

}  // namespace wl::platform
