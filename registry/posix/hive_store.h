// The hive store of the registry stand-in: hive files under <root>/registry/
// in the Registry Editor export format (registry/registry_file.h), HKLM.reg
// for HKEY_LOCAL_MACHINE and users/<SID>.reg for each HKEY_USERS\<SID>,
// read into trees (registry/registry_hive.h) and written back whole.
//
// Every call works on the files as they are now, so several processes share
// the registry safely:
// - a reader takes a shared flock on <hive>.lock and parses the hive, unless
//   the copy it parsed last is still current (same write generation, kept
//   in the lock file, and the same file identity);
// - a writer takes the exclusive flock, reads the current hive, changes it,
//   writes <hive>.new, flushes it to disk and renames it over the hive, so a
//   reader sees the old or the new file and a crash leaves the old one;
// - a hive that does not parse is never written: calls fail with 1009 and
//   RegistryLastParseError names the file and line;
// - a hive file or folder that another account could have planted is read
//   as absent and never written (RegistryLastRefusal says why).
// Threads of this process are serialised by one mutex in front of all that:
// the store's calls are made inside a RegistryCall.
#pragma once

#include <sys/types.h>

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/checked_open.h"
#include "platform/types.h"
#include "registry/registry_hive.h"

namespace wl::platform::posix {

// Where a hive lives and the full name its sections start with.
struct HiveLocation {
  std::string folder;  // holds the hive, its lock file and the .new of a save
  std::string name;    // the hive file's name in it
  std::string file;    // folder/name
  std::wstring prefix;
  bool alwaysExists = false;  // HKLM and the process's own user hive
  // The ordinary user whose own hive this is: it lies in a folder of that
  // user's (made for the user by the system account), and a file of that
  // user's is accepted as the hive. kNoAccount for the system account's
  // hives (HKLM, S-1-5-18, any SID of no ordinary user), which only a file
  // of the system account may be.
  uid_t user = kNoAccount;
};

// HKEY_LOCAL_MACHINE's hive.
HiveLocation MachineHive();
// The folder of the hives of HKEY_USERS.
std::string UsersFolder();
// The hive of HKEY_USERS\<name> in usersFolder (the SID of an ordinary user,
// or any other name, found in any case).
HiveLocation UserHive(const std::string& usersFolder, std::wstring_view name);
// The names of the hives in usersFolder: the system account's hive files
// (<SID>.reg) and the users' hive folders (<SID>/<SID>.reg).
std::vector<std::wstring> ListUserHives(const std::string& folder);

// The mutex of every registry call in this process.
std::mutex& RegistryMutex();

// Every public call of the registry: holds the registry's mutex for the
// call and clears the thread's last refusal; the reports of refused hives
// go out after the mutex is released, since a report may read the registry
// itself.
class RegistryCall {
 public:
  RegistryCall();
  ~RegistryCall();
  RegistryCall(const RegistryCall&) = delete;
  RegistryCall& operator=(const RegistryCall&) = delete;

 private:
  std::unique_lock<std::mutex> lock_;
};

// Runs use(root) on the current tree of the hive under a shared lock (an
// empty tree when the hive has no file, or a refused one). With owner, tells
// who owns the hive's file (kNoAccount without one). 1009 for a hive that
// does not parse.
[[nodiscard]] Win32Error ReadHive(const HiveLocation& hive, const std::function<Win32Error(HiveKey&)>& use,
                                  uid_t* owner = nullptr);

// Runs change(root, &changed) on the current tree of the hive under the
// exclusive lock, and saves the tree when the change succeeded and changed
// something; the folders are made when missing. A refused hive file is not
// changed (5).
[[nodiscard]] Win32Error WriteHive(const HiveLocation& hive, const std::function<Win32Error(HiveKey&, bool*)>& change);

// Whether the hive's file exists and is accepted.
bool HiveExists(const HiveLocation& hive);

}  // namespace wl::platform::posix
