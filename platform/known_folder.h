// SHGetKnownFolderPath for the folders this system uses.
#pragma once

#include <string>

#include "platform/expected.h"
#include "platform/types.h"

namespace wl::platform {

// ProgramData: the common application data folder (FOLDERID_ProgramData).
// System: the System folder (FOLDERID_System).
// OwnData: where this process keeps the files it writes for itself (the
// daily fallback file, crash dumps). For a process that administers the
// machine it is ProgramData. For anyone else it is a folder of the user's
// own, since ProgramData takes files from the system account only: on
// Linux <state>/ProgramData in the user's state folder ($XDG_STATE_HOME/
// wayline, default ~/.local/state/wayline, made 0700), on Windows the
// user's local application data (FOLDERID_LocalAppData), or
// <root>\Users\<name>\AppData\Local when $WAYLINE_ROOT is set. Who
// administers: on Linux uid 0 and the owner of the machine root; on Windows
// the local system account and a member of the Administrators group whose
// token holds it (an elevated administrator).
enum class KnownFolder { ProgramData, System, OwnData };

// The folder's full path without a trailing separator; with create set the
// folder is created when missing (KF_FLAG_CREATE); or the HRESULT of the
// failure.
Expected<std::wstring, HResult> GetKnownFolderPath(KnownFolder folder, bool create);

}  // namespace wl::platform
