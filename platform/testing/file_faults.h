// The test side of the file-fault seam: a hook, any callable, that decides
// each write and flush of the text files of this layer.
#pragma once

#include <functional>

#include "platform/file_faults.h"

namespace wl::platform {

// Decides each operation: its kind and the size of its data.
using FileFaultHook = std::function<FileFault(FileOperation operation, std::size_t size)>;

// Installs the hook for the whole process; an empty function removes it.
// The hook runs on the thread that makes the operation. Any thread.
void SetFileFaultHook(FileFaultHook hook);

}  // namespace wl::platform
