// The folders that hold the class sockets and activation locks.
#pragma once

#include <string>

#include "com/com.h"

namespace wl::platform::posix {

// Where the class sockets are. The machine's: <root>/run/com, made by SYSTEM
// and written by nobody else, holding the sockets of servers that run as
// SYSTEM (the service). A user's own: run/com in the user's own state
// (UserStateRoot), made by the user with no access for others, holding
// the sockets of the servers that user runs (a per-user local server). A
// server listens, and a client that starts a server waits, in the folder of
// the process's own user: the machine's for SYSTEM (uid 0 or the root's
// owner), the user's own otherwise.
struct ComFolder {
  std::string path;
  bool machine = true;
};
ComFolder MachineComFolder();
ComFolder UserComFolder();
ComFolder OwnComFolder();
// The class's socket and activation lock in a folder: {CLSID}.sock,
// {CLSID}.lock.
std::string ClassSocketPath(const ComFolder& folder, const CLSID& clsid);
std::string ClassLockPath(const ComFolder& folder, const CLSID& clsid);
// Makes the folder when missing, as its kind wants it (the machine's: mode
// 0755, only by SYSTEM; the user's own: 0700, its state folder 0700 when
// made here), and checks what is there: a folder, not a link, owned by
// SYSTEM (the machine's) or this user (the user's own), writable by no one
// else. 0 or the errno, with the reason for a report.
int PrepareComFolder(const ComFolder& folder, std::wstring* reason);

}  // namespace wl::platform::posix
