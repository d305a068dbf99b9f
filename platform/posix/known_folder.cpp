// Known folders on Linux live under the machine root: ProgramData is
// <root>/ProgramData, System is <root>/System32. An ordinary user's own
// data is <state>/ProgramData in the user's state folder.
#include "platform/known_folder.h"

#include "platform/machine_root.h"
#include "platform/posix/directories.h"
#include "platform/posix/errors.h"
#include "platform/posix/trust.h"
#include "platform/text.h"

namespace wl::platform {

Expected<std::wstring, HResult> GetKnownFolderPath(KnownFolder folder, bool create) {
  std::string base = folder == KnownFolder::OwnData ? posix::OwnStateRoot() : Utf8FromWide(MachineRoot());
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  std::string result = base + (folder == KnownFolder::System ? "/System32" : "/ProgramData");
  if (create) {
    if (int error = posix::MakeDirectories(result, posix::FolderModeUnder(base)); error != 0) {
      return Unexpected(HResultFromWin32(posix::Win32FromErrno(error)));
    }
  }
  return WideFromUtf8(result);
}

}  // namespace wl::platform
