// SHGetKnownFolderPath for the folders this system uses.
#pragma once

#include <string>

#include "platform/types.h"

namespace wl::platform {

enum class KnownFolder { ProgramData, System };

// The folder's full path without a trailing separator; with create set the
// folder is created when missing (KF_FLAG_CREATE). Returns an HRESULT.
[[nodiscard]] HResult GetKnownFolderPath(KnownFolder folder, bool create, std::wstring* path);

}  // namespace wl::platform
