// The C runtime's low-level file I/O: the flag values and error numbers of
// platform/text_file.h are the runtime's own, so they pass through unchanged.
#include "platform/text_file.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "platform/crash.h"
#include "platform/text.h"

namespace wl::platform {

static_assert(kOU8Text == _O_U8TEXT && kOWText == _O_WTEXT && kOU16Text == _O_U16TEXT);
static_assert(kOAppend == _O_APPEND && kOCreat == _O_CREAT && kOWronly == _O_WRONLY);
static_assert(kShDenyWr == _SH_DENYWR && kShDenyNo == _SH_DENYNO);
static_assert(kSIRead == _S_IREAD && kSIWrite == _S_IWRITE);
static_assert(kErrnoEacces == EACCES && kErrnoEnametoolong == ENAMETOOLONG);

namespace {

// Descriptors opened without a Unicode mode, by number (the runtime's
// descriptors are small integers below this bound). Their wide text goes to
// the runtime in the ANSI code page: _write would store the UTF-16 units as
// bytes.
constexpr int kDescriptorLimit = 8192;
std::atomic<bool> byteMode[kDescriptorLimit];

bool IsByteMode(int descriptor) {
  return descriptor >= 0 && descriptor < kDescriptorLimit && byteMode[descriptor].load(std::memory_order_relaxed);
}

void SetByteMode(int descriptor, bool value) {
  if (descriptor >= 0 && descriptor < kDescriptorLimit) byteMode[descriptor].store(value, std::memory_order_relaxed);
}

std::string AnsiFromWide(std::wstring_view text) {
  if (text.empty()) return {};
  int units = static_cast<int>(text.size());
  int length = ::WideCharToMultiByte(CP_ACP, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
  std::string ansi(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text.data(), units, ansi.data(), length, nullptr, nullptr);
  return ansi;
}

// The mingw build's runtime fails a call on a descriptor that is not open
// with EBADF alone; the Windows runtime calls its invalid-parameter handler
// first, and so does this layer (after the fact, with the same effect).
int FailedCall(int descriptor, int result, int* error) {
  *error = errno;
  if (*error == EBADF && _get_osfhandle(descriptor) == -1) ReportInvalidParameter();
  return result;
}

}  // namespace

int OpenFile(int* descriptor, std::wstring_view path, int openFlag, int shareFlag, int permission) {
  std::wstring name(path);
  *descriptor = -1;
  int error = _wsopen_s(descriptor, name.c_str(), openFlag, shareFlag, permission);
  if (error != 0) {
    *descriptor = -1;
  } else {
    SetByteMode(*descriptor, (openFlag & (_O_WTEXT | _O_U16TEXT | _O_U8TEXT)) == 0);
  }
  return error;
}

int WriteText(int descriptor, std::wstring_view text, int* error) {
  if (IsByteMode(descriptor)) {
    // The runtime expands line feeds itself in _O_TEXT mode.
    std::string ansi = AnsiFromWide(text);
    int written = _write(descriptor, ansi.data(), static_cast<unsigned>(ansi.size()));
    if (written < 0) return FailedCall(descriptor, -1, error);
    return static_cast<int>(text.size() * sizeof(wchar_t));
  }
  // In the Unicode text modes _write takes the wide characters and their
  // size in bytes; the runtime converts and expands line feeds.
  int written = _write(descriptor, text.data(), static_cast<unsigned>(text.size() * sizeof(wchar_t)));
  return written < 0 ? FailedCall(descriptor, written, error) : written;
}

int WriteUtf8Text(int descriptor, std::string_view utf8, int* error) {
  return WriteText(descriptor, WideFromUtf8(utf8), error);
}

// The runtime adds the carriage returns itself in every text mode.
int WriteUtf8CrLfText(int descriptor, std::string_view utf8CrLf, int* error) {
  return WriteText(descriptor, WideFromUtf8CrLf(utf8CrLf), error) == -1 ? -1 : 0;
}

int CloseFile(int descriptor, int* error) {
  // Cleared first: once closed, the number may be handed to another open.
  SetByteMode(descriptor, false);
  int result = _close(descriptor);
  return result != 0 ? FailedCall(descriptor, result, error) : result;
}

int CommitFile(int descriptor, int* error) {
  int result = _commit(descriptor);
  return result != 0 ? FailedCall(descriptor, result, error) : result;
}

std::int64_t TellFile(int descriptor, int* error) {
  std::int64_t position = _telli64(descriptor);
  if (position < 0) FailedCall(descriptor, -1, error);
  return position;
}

// Windows has no per-process file size limit.
bool SetFileSizeLimit(std::int64_t) { return false; }

}  // namespace wl::platform
