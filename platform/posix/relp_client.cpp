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

#include <string>

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

}  // namespace

struct RelpClient::State {
  relpEngine_t* engine = nullptr;
  relpClt_t* client = nullptr;
  bool connected = false;

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

Win32Error RelpClient::Connect(std::string_view host, std::uint16_t port, std::uint32_t timeoutSeconds) {
  BlockBrokenPipe();
  state_->Destroy();
  if (state_->engine == nullptr) {
    if (relpEngineConstruct(&state_->engine) != RELP_RET_OK) return 8;  // ERROR_NOT_ENOUGH_MEMORY
    relpEngineSetDbgprint(state_->engine, Quiet);
    relpEngineSetEnableCmd(state_->engine, reinterpret_cast<unsigned char*>(const_cast<char*>("syslog")),
                           eRelpCmdState_Required);
  }
  if (relpEngineCltConstruct(state_->engine, &state_->client) != RELP_RET_OK) return 8;
  relpCltSetTimeout(state_->client, timeoutSeconds);
  relpCltSetConnTimeout(state_->client, static_cast<int>(timeoutSeconds));
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
  relpRetVal result = relpCltReconnect(state_->client);
  state_->connected = result == RELP_RET_OK;
  return FromRelp(result);
}

void RelpClient::Close() {
  BlockBrokenPipe();
  state_->Destroy();
}

bool RelpClient::Connected() const { return state_->connected; }

}  // namespace wl::platform
