// Version resources on Linux: the PE file's own bytes, read with the
// portable reader.
#include "platform/file_version.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "platform/pe_version.h"
#include "platform/text.h"

namespace wl::platform {
namespace {

// A version resource lies within the image's first few hundred megabytes in
// any executable the product ships; larger files are not read whole.
constexpr off_t kLargestFile = off_t{256} << 20;

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>* bytes) {
  int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return false;
  struct stat info {};
  bool ok = fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kLargestFile;
  if (ok) bytes->resize(static_cast<std::size_t>(info.st_size));
  std::size_t done = 0;
  while (ok && done < bytes->size()) {
    ssize_t got = read(descriptor, bytes->data() + done, bytes->size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  close(descriptor);
  // A file that shrank while it was read is taken as far as it went.
  bytes->resize(done);
  return ok;
}

}  // namespace

bool QueryFileVersionString(std::wstring_view path, std::wstring_view key, std::wstring* out) {
  std::vector<std::uint8_t> bytes;
  if (path.empty() || key.empty() || !ReadWholeFile(Utf8FromWide(path), &bytes)) return false;
  std::u16string value;
  if (!FindPeVersionString(bytes, Utf16FromWide(key), &value)) return false;
  *out = WideFromUtf16(value);
  return true;
}

}  // namespace wl::platform
