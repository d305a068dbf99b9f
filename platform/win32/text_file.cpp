// The C runtime's low-level file I/O: the flag values and error numbers of
// platform/text_file.h are the runtime's own, so they pass through unchanged.
#include "platform/text_file.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <string_view>

#include "platform/file_faults.h"
#include "platform/invalid_parameter.h"
#include "platform/text.h"

namespace wl::platform {

static_assert(kOU8Text == _O_U8TEXT && kOWText == _O_WTEXT && kOU16Text == _O_U16TEXT);
static_assert(kOAppend == _O_APPEND && kOCreat == _O_CREAT && kOWronly == _O_WRONLY);
static_assert(kShDenyWr == _SH_DENYWR && kShDenyNo == _SH_DENYNO);
static_assert(kSIRead == _S_IREAD && kSIWrite == _S_IWRITE);
static_assert(kErrnoEacces == EACCES && kErrnoEnametoolong == ENAMETOOLONG);

namespace {

// Facts about descriptors that the runtime does not tell, by number (the
// runtime's descriptors are small integers below this bound):
// - byte mode: opened without a Unicode mode; their wide text goes to the
//   runtime in the ANSI code page (_write would store the UTF-16 units as
//   bytes);
// - cut back: appends while denying other writers, so that a write that
//   fails part-way can be undone by cutting the file back to its length.
constexpr int kDescriptorLimit = 8192;
constexpr std::uint8_t kByteMode = 1;
constexpr std::uint8_t kCutBack = 2;
std::atomic<std::uint8_t> descriptorFlags[kDescriptorLimit];
std::atomic<std::uint64_t> committedFiles{0};

std::uint8_t FlagsOf(int descriptor) {
  return descriptor >= 0 && descriptor < kDescriptorLimit ? descriptorFlags[descriptor].load(std::memory_order_relaxed)
                                                          : 0;
}

void SetFlags(int descriptor, std::uint8_t flags) {
  if (descriptor >= 0 && descriptor < kDescriptorLimit)
    descriptorFlags[descriptor].store(flags, std::memory_order_relaxed);
}

// The mingw build's runtime fails a call on a descriptor that is not open
// with EBADF alone; the Windows runtime calls its invalid-parameter handler
// first, and so does this layer (after the fact, with the same effect).
int FailedCall(int descriptor, int result, int* error) {
  *error = errno;
  if (*error == EBADF && _get_osfhandle(descriptor) == -1) ReportInvalidParameter();
  return result;
}

// Runs one _write; when it fails on a descriptor that may be cut back, the
// file is returned to its length before the call, so that it never keeps a
// torn line for the next one to be glued to. The runtime writes a long text
// in several pieces, so a failure may come after some of them. Only our own
// bytes are cut: the file must end where our write left it (no other program
// can write a file held with _SH_DENYWR, but the check costs nothing).
[[nodiscard]] int WriteOnce(int descriptor, const void* data, unsigned size, int* error) {
  bool cutBack = (FlagsOf(descriptor) & kCutBack) != 0;
  std::int64_t before = cutBack ? _lseeki64(descriptor, 0, SEEK_END) : -1;
  int written = 0;
  if (FileFault fault = NextFileFault(FileOperation::Write, size); fault.errorNumber != 0) {
    // The runtime takes whole characters in the Unicode modes.
    unsigned part = static_cast<unsigned>(std::min<std::size_t>(fault.bytesBefore, size));
    if ((FlagsOf(descriptor) & kByteMode) == 0) part &= ~1u;
    if (part > 0) (void)_write(descriptor, data, part);
    if (fault.afterPart) fault.afterPart();
    errno = fault.errorNumber;
    written = -1;
  } else {
    written = _write(descriptor, data, size);
  }
  if (written < 0) {
    FailedCall(descriptor, written, error);
    std::int64_t end = _telli64(descriptor);
    if (before >= 0 && end >= before && _filelengthi64(descriptor) == end) _chsize_s(descriptor, before);
  }
  return written;
}

// Reads count bytes at offset; false when fewer came.
bool ReadAt(HANDLE file, std::uint64_t offset, char* buffer, DWORD count) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  return ::ReadFile(file, buffer, count, &got, &at) && got == count;
}

std::string AnsiFromWide(std::wstring_view text) {
  if (text.empty()) return {};
  int units = static_cast<int>(text.size());
  int length = ::WideCharToMultiByte(CP_ACP, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
  std::string ansi(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text.data(), units, ansi.data(), length, nullptr, nullptr);
  return ansi;
}

}  // namespace

int OpenFile(int* descriptor, std::wstring_view path, int openFlag, int shareFlag, int permission,
             std::wstring* refusal) {
  // The files' access rules decide on Windows; nothing is refused here.
  if (refusal != nullptr) refusal->clear();
  std::wstring name(path);
  *descriptor = -1;
  int error = _wsopen_s(descriptor, name.c_str(), openFlag, shareFlag, permission);
  if (error != 0) {
    *descriptor = -1;
  } else {
    bool byteMode = (openFlag & (_O_WTEXT | _O_U16TEXT | _O_U8TEXT)) == 0;
    bool cutBack = (openFlag & (_O_WRONLY | _O_RDWR)) != 0 && (openFlag & _O_APPEND) != 0 &&
                   (shareFlag == _SH_DENYWR || shareFlag == _SH_DENYRW);
    SetFlags(*descriptor, static_cast<std::uint8_t>((byteMode ? kByteMode : 0) | (cutBack ? kCutBack : 0)));
  }
  return error;
}

int WriteText(int descriptor, std::wstring_view text, int* error) {
  if ((FlagsOf(descriptor) & kByteMode) != 0) {
    // The runtime expands line feeds itself in _O_TEXT mode.
    std::string ansi = AnsiFromWide(text);
    if (WriteOnce(descriptor, ansi.data(), static_cast<unsigned>(ansi.size()), error) < 0) return -1;
    return static_cast<int>(text.size() * sizeof(wchar_t));
  }
  // In the Unicode text modes _write takes the wide characters and their
  // size in bytes; the runtime converts and expands line feeds.
  return WriteOnce(descriptor, text.data(), static_cast<unsigned>(text.size() * sizeof(wchar_t)), error);
}

int WriteUtf8Text(int descriptor, std::string_view utf8, int* error) {
  return WriteText(descriptor, WideFromUtf8(utf8), error);
}

// The runtime adds the carriage returns itself in every text mode.
int WriteUtf8CrLfText(int descriptor, std::string_view utf8CrLf, int* error) {
  return WriteText(descriptor, WideFromUtf8CrLf(utf8CrLf), error) == -1 ? -1 : 0;
}

// The runtime has no vectored write: one write per line.
std::size_t WriteUtf8CrLfLines(int descriptor, std::span<const std::string_view> lines, int* error) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (WriteUtf8CrLfText(descriptor, lines[i], error) == -1) return i;
  }
  return lines.size();
}

// The runtime's descriptor may be open for writing only: the file is read
// through a handle of its own, which shares writing with ours.
int EndLastLine(int descriptor, std::wstring_view path, int* error) {
  HANDLE file =
      ::CreateFileW(std::wstring(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  LARGE_INTEGER length{};
  char head[3] = {};
  char tail[2] = {};
  std::uint64_t size = 0;
  DWORD headSize = 0;
  DWORD tailSize = 0;
  bool read = ::GetFileSizeEx(file, &length) != 0;
  if (read) {
    size = static_cast<std::uint64_t>(length.QuadPart);
    headSize = static_cast<DWORD>(std::min<std::uint64_t>(size, sizeof head));
    tailSize = static_cast<DWORD>(std::min<std::uint64_t>(size, sizeof tail));
    read = ReadAt(file, 0, head, headSize) && ReadAt(file, size - tailSize, tail, tailSize);
  }
  ::CloseHandle(file);
  if (!read) return 0;
  // The runtime continues a file that begins with FF FE in UTF-16LE in its
  // Unicode modes.
  bool utf16 = (FlagsOf(descriptor) & kByteMode) == 0 && std::string_view(head, headSize).starts_with("\xFF\xFE");
  if (!LastLineIsOpen({head, headSize}, {tail, tailSize}, size, utf16)) return 0;
  return WriteText(descriptor, L"\n", error) < 0 ? -1 : 1;
}

int CloseFile(int descriptor, int* error) {
  // Cleared first: once closed, the number may be handed to another open.
  SetFlags(descriptor, 0);
  int result = _close(descriptor);
  return result != 0 ? FailedCall(descriptor, result, error) : result;
}

int CommitFile(int descriptor, int* error) {
  if (FileFault fault = NextFileFault(FileOperation::Commit, 0); fault.errorNumber != 0) {
    *error = fault.errorNumber;
    return -1;
  }
  int result = _commit(descriptor);
  if (result != 0) {
    FailedCall(descriptor, result, error);
  } else {
    committedFiles.fetch_add(1, std::memory_order_relaxed);
  }
  return result;
}

std::uint64_t CommittedFileCount() { return committedFiles.load(std::memory_order_relaxed); }

std::int64_t TellFile(int descriptor, int* error) {
  std::int64_t position = _telli64(descriptor);
  if (position < 0) FailedCall(descriptor, -1, error);
  return position;
}

// Windows has no per-process file size limit.
bool SetFileSizeLimit(std::int64_t) { return false; }

}  // namespace wl::platform
