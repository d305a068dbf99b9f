// The C runtime's low-level file I/O, called directly: the flag values and
// error numbers of platform/text_file.h are the runtime's own.
#include "platform/text_file.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/text.h"

namespace wl::platform {

static_assert(kOU8Text == _O_U8TEXT && kOWText == _O_WTEXT && kOU16Text == _O_U16TEXT);
static_assert(kOAppend == _O_APPEND && kOCreat == _O_CREAT && kOWronly == _O_WRONLY);
static_assert(kShDenyWr == _SH_DENYWR && kShDenyNo == _SH_DENYNO);
static_assert(kSIRead == _S_IREAD && kSIWrite == _S_IWRITE);
static_assert(kErrnoEacces == EACCES && kErrnoEnametoolong == ENAMETOOLONG);

int OpenFile(int* descriptor, std::wstring_view path, int openFlag, int shareFlag, int permission) {
  std::wstring name(path);
  *descriptor = -1;
  int error = _wsopen_s(descriptor, name.c_str(), openFlag, shareFlag, permission);
  if (error != 0) *descriptor = -1;
  return error;
}

int WriteText(int descriptor, std::wstring_view text, int* error) {
  // In the Unicode text modes _write takes the wide characters and their
  // size in bytes; the runtime converts and expands line feeds.
  int written = _write(descriptor, text.data(), static_cast<unsigned>(text.size() * sizeof(wchar_t)));
  if (written < 0) *error = errno;
  return written;
}

int WriteUtf8Text(int descriptor, std::string_view utf8, int* error) {
  return WriteText(descriptor, WideFromUtf8(utf8), error);
}

int CloseFile(int descriptor, int* error) {
  int result = _close(descriptor);
  if (result != 0) *error = errno;
  return result;
}

int CommitFile(int descriptor, int* error) {
  int result = _commit(descriptor);
  if (result != 0) *error = errno;
  return result;
}

std::int64_t TellFile(int descriptor, int* error) {
  std::int64_t position = _telli64(descriptor);
  if (position < 0) *error = errno;
  return position;
}

// Windows has no per-process file size limit.
bool SetFileSizeLimit(std::int64_t) { return false; }

}  // namespace wl::platform
