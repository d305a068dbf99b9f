// RELP through librelp. librelp keeps every message it sent until the
// collector acknowledges it and sends the unacknowledged ones again when
// the session is re-established.
#include "platform/relp_client.h"

// librelp's header declares C functions without saying so.
extern "C" {
#include <librelp.h>
}
#include <signal.h>
#include <sys/socket.h>

#include <optional>
#include <string>

#include "platform/posix/tls_priorities.h"

namespace wl::platform {
namespace {

void Quiet(char*, ...) {}

// librelp writes to its socket without suppressing SIGPIPE; a collector
// that vanishes must break the session, not end the service. The signal is
// sent to the writing thread, so blocking it there is enough.
void BlockBrokenPipe() {
  thread_local bool blocked = false;
  if (blocked) return;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  blocked = true;
}

Win32Error FromRelp(relpRetVal result) {
  switch (result) {
    case RELP_RET_OK:
      return 0;
    case RELP_RET_SESSION_BROKEN:
      return 10054;  // WSAECONNRESET
    default:
      return 10061;  // WSAECONNREFUSED
  }
}

// librelp reports TLS failures (a refused certificate, a failed handshake)
// through the engine's callbacks, with the client's user pointer.
void NoteError(void* user, char* info, char* message, relpRetVal) {
  if (user == nullptr) return;
  std::string& last = *static_cast<std::string*>(user);
  last = message != nullptr ? message : "";
  if (info != nullptr && *info != '\0') last += std::string(" (") + info + ")";
}

char* Text(const std::string& text) { return const_cast<char*>(text.c_str()); }

}  // namespace

struct RelpClient::State {
  relpEngine_t* engine = nullptr;
  relpClt_t* client = nullptr;
  bool connected = false;
  // What librelp said last about a failure (its error callbacks).
  std::string lastError;
  // The TLS settings of the session, whose files are checked again before
  // each reconnect.
  std::optional<TlsSettings> tls;

  void Destroy() {
    if (client != nullptr) relpEngineCltDestruct(engine, &client);
    client = nullptr;
    connected = false;
  }
  ~State() {
    Destroy();
    if (engine != nullptr) relpEngineDestruct(&engine);
  }
};

RelpClient::RelpClient() : state_(std::make_unique<State>()) {}
RelpClient::~RelpClient() = default;

bool RelpClient::Supported() { return true; }

Win32Error RelpClient::Connect(std::string_view host, std::uint16_t port, std::uint32_t timeoutSeconds,
                               const TlsSettings* tls) {
  BlockBrokenPipe();
  state_->Destroy();
  state_->lastError.clear();
  state_->tls.reset();
  if (tls != nullptr) {
    state_->tls = *tls;
    state_->lastError = TlsFilesRefusal(*tls);
    if (!state_->lastError.empty()) return 5;  // ERROR_ACCESS_DENIED
  }
  if (state_->engine == nullptr) {
    if (relpEngineConstruct(&state_->engine) != RELP_RET_OK) return 8;  // ERROR_NOT_ENOUGH_MEMORY
    relpEngineSetDbgprint(state_->engine, Quiet);
    relpEngineSetEnableCmd(state_->engine, reinterpret_cast<unsigned char*>(const_cast<char*>("syslog")),
                           eRelpCmdState_Required);
    relpEngineSetOnAuthErr(state_->engine, NoteError);
    relpEngineSetOnErr(state_->engine, NoteError);
  }
  if (relpEngineCltConstruct(state_->engine, &state_->client) != RELP_RET_OK) return 8;
  relpCltSetUsrPtr(state_->client, &state_->lastError);
  relpCltSetTimeout(state_->client, timeoutSeconds);
  relpCltSetConnTimeout(state_->client, static_cast<int>(timeoutSeconds));
  if (tls != nullptr) {
    std::string mode(TlsAuthModeName(tls->mode));
    bool ready = relpCltEnableTLS(state_->client) == RELP_RET_OK &&
                 relpCltSetGnuTLSPriString(state_->client, Text(posix::kTlsPriorities)) == RELP_RET_OK &&
                 relpCltSetCACert(state_->client, Text(tls->caFile)) == RELP_RET_OK &&
                 relpCltSetAuthMode(state_->client, Text(mode)) == RELP_RET_OK;
    if (ready && !tls->certFile.empty()) {
      ready = relpCltSetOwnCert(state_->client, Text(tls->certFile)) == RELP_RET_OK &&
              relpCltSetPrivKey(state_->client, Text(tls->keyFile)) == RELP_RET_OK;
    }
    // By name, librelp checks the certificate against the permitted peers
    // only: the target's host is one of them.
    std::string hostName(host);
    if (ready && tls->mode == TlsAuthMode::Name) {
      ready = relpCltAddPermittedPeer(state_->client, Text(hostName)) == RELP_RET_OK;
    }
    for (std::size_t i = 0; ready && i < tls->peers.size(); ++i) {
      ready = relpCltAddPermittedPeer(state_->client, Text(tls->peers[i])) == RELP_RET_OK;
    }
    if (!ready) {
      if (state_->lastError.empty()) state_->lastError = "librelp could not set up TLS";
      state_->Destroy();
      return 10054;
    }
  }
  std::string portText = std::to_string(port);
  std::string hostText(host);
  relpRetVal result = relpCltConnect(state_->client, AF_UNSPEC, reinterpret_cast<unsigned char*>(portText.data()),
                                     reinterpret_cast<unsigned char*>(hostText.data()));
  if (result != RELP_RET_OK) {
    state_->Destroy();
    return FromRelp(result);
  }
  state_->connected = true;
  return 0;
}

Win32Error RelpClient::Send(std::string_view message) {
  if (state_->client == nullptr) return 10057;  // WSAENOTCONN
  BlockBrokenPipe();
  relpRetVal result = relpCltSendSyslog(
      state_->client, reinterpret_cast<unsigned char*>(const_cast<char*>(message.data())), message.size());
  if (result != RELP_RET_OK) state_->connected = false;
  return FromRelp(result);
}

Win32Error RelpClient::Reconnect() {
  if (state_->client == nullptr) return 10057;
  BlockBrokenPipe();
  state_->lastError.clear();
  if (state_->tls) {
    state_->lastError = TlsFilesRefusal(*state_->tls);
    if (!state_->lastError.empty()) {
      state_->connected = false;
      return 5;
    }
  }
  relpRetVal result = relpCltReconnect(state_->client);
  state_->connected = result == RELP_RET_OK;
  return FromRelp(result);
}

void RelpClient::Close() {
  BlockBrokenPipe();
  state_->Destroy();
}

bool RelpClient::Connected() const { return state_->connected; }

std::string RelpClient::LastError() const { return state_->lastError; }

}  // namespace wl::platform
