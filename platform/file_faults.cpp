#include "platform/file_faults.h"

#include <atomic>

namespace wl::platform {
namespace {

std::atomic<FileFaultSource> currentSource{nullptr};

}  // namespace

void SetFileFaultSource(FileFaultSource source) { currentSource.store(source, std::memory_order_release); }

FileFault NextFileFault(FileOperation operation, std::size_t size) {
  FileFaultSource source = currentSource.load(std::memory_order_acquire);
  return source == nullptr ? FileFault{} : source(operation, size);
}

}  // namespace wl::platform
