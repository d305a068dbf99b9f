// Known folders on Linux live under the machine root: ProgramData is
// <root>/ProgramData, System is <root>/System32.
#include "platform/known_folder.h"

#include "platform/machine_root.h"
#include "platform/posix/directories.h"
#include "platform/posix/errors.h"
#include "platform/text.h"

namespace wl::platform {

HResult GetKnownFolderPath(KnownFolder folder, bool create, std::wstring* path) {
  std::wstring root = MachineRoot();
  while (root.size() > 1 && root.back() == L'/') root.pop_back();
  std::wstring result = root + (folder == KnownFolder::ProgramData ? L"/ProgramData" : L"/System32");
  if (create) {
    // Every user may add its own files and folders to ProgramData.
    std::string narrow = Utf8FromWide(result);
    int error = folder == KnownFolder::ProgramData ? posix::MakeSharedDirectories(narrow)
                                                   : posix::MakeDirectories(narrow);
    if (error != 0) {
      return HResultFromWin32(posix::Win32FromErrno(error));
    }
  }
  *path = std::move(result);
  return kSOk;
}

}  // namespace wl::platform
