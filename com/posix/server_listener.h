// The listening side of a local server: one socket per class registered for
// local clients, {CLSID}.sock in the class folder of the process's user
// (class_folders.h), bound here or handed over by systemd's socket
// activation; the connections it accepts, with the credentials the system
// took of their peers; and the caps on how many connections clients may
// hold, in all and per user.
//
// A ClassListener and the ConnectionCaps are used under the server's lock.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "com/com.h"
#include "com/posix/server_connection.h"
#include "platform/posix/socket_address.h"

namespace wl::platform::posix {

class ClassListener : public Endpoint {
 public:
  // Listens for the class: on the socket systemd passed for its path, or on
  // one bound here (replacing a socket file left there, after making and
  // checking the class folder). S_OK with the listener in *made, or the
  // failure (reported when the folder or path is at fault).
  static HRESULT Open(const CLSID& clsid, std::unique_ptr<ClassListener>* made);

  ClassListener(const ClassListener&) = delete;
  ClassListener& operator=(const ClassListener&) = delete;

  // Takes the next connection waiting, with its peer's credentials; null
  // when none can be taken, with errno's value in *error (EAGAIN when none
  // waits).
  std::unique_ptr<ServerConnection> Accept(int* error);

  // Stops listening: closes the socket and removes its file (unless the
  // socket unit owns it). The object stays until the server stops: a thread
  // may still hold an event for it, and finds it closed.
  void Close();

  [[nodiscard]] bool IsOpen() const { return open_; }
  [[nodiscard]] int Fd() const { return fd_; }
  [[nodiscard]] const CLSID& Clsid() const { return clsid_; }

 private:
  ClassListener() : Endpoint{true} {}

  int fd_ = -1;
  CLSID clsid_{};
  // Bound here (not inherited): the socket file is removed through it.
  SocketAddress address_;
  bool open_ = true;
  // Handed over by systemd's socket activation: the socket file is the
  // socket unit's and stays when this process stops listening.
  bool inherited_ = false;
};

// The limits in force (ComServerLimits): those set, with the connection
// counts left at 0 taken from the descriptor limit.
ComServerLimits EffectiveComServerLimits();

// How many connections the clients hold, in all and per user, against the
// limits; SYSTEM's connections count only towards the limit in all.
class ConnectionCaps {
 public:
  void SetLimits(const ComServerLimits& limits) { limits_ = limits; }
  // Whether the connection may be served while `open` connections are; a
  // refusal is counted, and reported into *refusals when due.
  bool Admit(const ServerConnection& connection, std::size_t open, std::vector<std::wstring>* refusals);
  // An admitted connection closed.
  void Leave(const ServerConnection& connection);
  // The server stopped: no connection is held.
  void Reset() { perUser_.clear(); }

  LimitTally refused;

 private:
  ComServerLimits limits_;
  std::map<unsigned, std::size_t> perUser_;
};

}  // namespace wl::platform::posix
