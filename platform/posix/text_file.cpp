// The C runtime's low-level file I/O on Linux descriptors. The runtime's own
// per-descriptor facts (open, writable, text encoding) sit in a fixed table
// indexed by descriptor, read without a lock on every write.
#include "platform/text_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <span>
#include <string>

#include "platform/file_faults.h"
#include "platform/invalid_parameter.h"
#include "platform/posix/checked_open.h"
#include "platform/posix/descriptor.h"
#include "platform/posix/errors.h"
#include "platform/posix/share_lock.h"
#include "platform/text.h"

namespace wl::platform {
namespace {

constexpr int kMaxDescriptors = 1 << 16;

// A descriptor's state byte: 0 when the layer has not opened it.
constexpr std::uint8_t kStateOpen = 0x80;
constexpr std::uint8_t kStateWritable = 0x40;
// Appends while denying other writers: a failed write may be cut back.
constexpr std::uint8_t kStateCutBack = 0x20;
constexpr std::uint8_t kEncodingMask = 0x0F;
enum Encoding : std::uint8_t { kAnsiText = 1, kBinary = 2, kUtf8Text = 3, kUtf16Text = 4 };

std::atomic<std::uint8_t> descriptorStates[kMaxDescriptors];
std::atomic<std::uint64_t> committedFiles{0};

std::uint8_t StateOf(int descriptor) {
  if (descriptor < 0 || descriptor >= kMaxDescriptors) return 0;
  return descriptorStates[descriptor].load(std::memory_order_acquire);
}

int Fail(int* error, int number) {
  if (error != nullptr) *error = number;
  return -1;
}

// The Windows runtime calls its invalid-parameter handler for a descriptor
// that is not open before it fails with EBADF; a descriptor open for reading
// only is no invalid parameter, just EBADF for a write.
int FailBadDescriptor(std::uint8_t state, int* error) {
  if ((state & kStateOpen) == 0) ReportInvalidParameter();
  return Fail(error, kErrnoEbadf);
}

int RuntimeErrno() { return posix::RuntimeErrnoFromErrno(errno); }

// Writes the parts in order (through the fault seam). Returns 0 or the
// Linux errno, and in *whole (may be null) how many parts reached the file
// whole. When a write fails after part of the bytes went in and cutBack is
// set (the descriptor appends and denies the layer's other writers), the
// part it stopped in is cut back out of the file, so that the file never
// keeps a torn line for the next one to be glued to; whole parts before it
// stay. Only our own bytes are cut: when the file no longer ends where our
// write left it (a program that ignores the sharing locks appended after
// them), or our bytes of that part do not lie in one run, nothing is cut.
[[nodiscard]] int WriteParts(int descriptor, std::span<const std::string_view> parts, bool cutBack,
                             std::size_t* whole = nullptr) {
  std::size_t size = 0;
  for (std::string_view part : parts) size += part.size();
  FileFault fault = NextFileFault(FileOperation::Write, size);
  std::size_t done = 0;
  posix::AppendedRun run;
  int failure =
      posix::WriteAllParts(descriptor, parts, fault.errorNumber != 0 ? std::min(fault.bytesBefore, size) : size, &done,
                           cutBack ? &run : nullptr);
  if (failure == 0) failure = fault.errorNumber;
  if (fault.errorNumber != 0 && fault.afterPart) fault.afterPart();
  std::size_t count = 0;
  std::size_t torn = done;
  while (count < parts.size() && torn >= parts[count].size()) {
    torn -= parts[count].size();
    ++count;
  }
  if (failure != 0 && cutBack && torn > 0) {
    run.Locate(descriptor);
    struct stat info {};
    if (run.Bytes() >= torn && fstat(descriptor, &info) == 0 && info.st_size == run.End() &&
        ftruncate(descriptor, static_cast<off_t>(run.End() - static_cast<std::int64_t>(torn))) == 0) {
      lseek(descriptor, 0, SEEK_END);
    }
  }
  if (whole != nullptr) *whole = failure == 0 ? parts.size() : count;
  return failure;
}

[[nodiscard]] int WriteAll(int descriptor, const char* data, std::size_t size, bool cutBack) {
  std::string_view bytes(data, size);
  return WriteParts(descriptor, {&bytes, 1}, cutBack);
}

// The output of one write call, kept per thread so that the writer's lines
// cost no allocation once the buffer has grown to a line's size.
std::string& ScratchBuffer() {
  thread_local std::string buffer;
  constexpr std::size_t kKeptCapacity = 1 << 16;
  if (buffer.capacity() > kKeptCapacity) std::string().swap(buffer);
  buffer.clear();
  return buffer;
}

// Copies UTF-8 text to out, each LF as CR LF when lineEnds is set, and counts
// its UTF-16 units. False (with out incomplete) when the text is not valid
// UTF-8.
bool AppendUtf8(std::string_view text, bool lineEnds, std::string& out, std::size_t& units) {
  out.reserve(out.size() + text.size() + text.size() / 32 + 4);
  std::size_t i = 0;
  while (i < text.size()) {
    auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      if (lead == '\n' && lineEnds) out.push_back('\r');
      out.push_back(static_cast<char>(lead));
      ++units;
      ++i;
      continue;
    }
    Utf8Sequence sequence = DecodeUtf8(text.substr(i));
    if (sequence.length == 0) return false;
    std::size_t length = sequence.length;
    out.append(text.data() + i, length);
    units += length == 4 ? 2 : 1;
    i += length;
  }
  return true;
}

int Finish(int descriptor, const std::string& bytes, std::size_t units, int* error) {
  bool cutBack = (StateOf(descriptor) & kStateCutBack) != 0;
  if (int failure = WriteAll(descriptor, bytes.data(), bytes.size(), cutBack); failure != 0) {
    return Fail(error, posix::RuntimeErrnoFromErrno(failure));
  }
  return units > INT_MAX / 2 ? INT_MAX : static_cast<int>(units * 2);
}

int WriteUtf16(int descriptor, std::wstring_view text, int* error) {
  std::u16string units = Utf16FromWide(text);
  std::u16string expanded;
  expanded.reserve(units.size() + 16);
  for (char16_t unit : units) {
    if (unit == u'\n') expanded.push_back(u'\r');
    expanded.push_back(unit);
  }
  std::string& out = ScratchBuffer();
  AppendUtf16Le(expanded, out);
  return Finish(descriptor, out, units.size(), error);
}

// The encoding that writes use, after the mark of an existing file is read
// or a new one written. Returns 0 or the Linux errno.
[[nodiscard]] int SettleEncoding(int descriptor, int openFlag, bool canRead, bool canWrite, Encoding* encoding) {
  if ((openFlag & kOU8Text) != 0) {
    *encoding = kUtf8Text;
  } else if ((openFlag & (kOU16Text | kOWText)) != 0) {
    *encoding = kUtf16Text;
  } else {
    *encoding = (openFlag & kOBinary) != 0 ? kBinary : kAnsiText;
    return 0;
  }
  struct stat info {};
  if (fstat(descriptor, &info) != 0) return errno;
  if (info.st_size == 0 && S_ISREG(info.st_mode)) {
    if (!canWrite) return 0;
    static constexpr char kUtf8Mark[] = {'\xEF', '\xBB', '\xBF'};
    static constexpr char kUtf16Mark[] = {'\xFF', '\xFE'};
    return *encoding == kUtf8Text ? posix::WriteAll(descriptor, {kUtf8Mark, sizeof kUtf8Mark})
                                  : posix::WriteAll(descriptor, {kUtf16Mark, sizeof kUtf16Mark});
  }
  // A descriptor that may only write cannot look at the mark; the requested
  // encoding stands.
  if (!canRead) return 0;
  unsigned char mark[3] = {};
  ssize_t got = pread(descriptor, mark, sizeof mark, 0);
  if (got >= 3 && mark[0] == 0xEF && mark[1] == 0xBB && mark[2] == 0xBF) {
    *encoding = kUtf8Text;
  } else if (got >= 2 && mark[0] == 0xFF && mark[1] == 0xFE) {
    *encoding = kUtf16Text;
  }
  return 0;
}

// Everything between the kernel's open and the publication of the
// descriptor, under the file's gate. Returns 0 or the runtime errno.
[[nodiscard]] int EstablishOpen(int descriptor, int openFlag, int shareFlag, Encoding* encoding) {
  int accessMode = fcntl(descriptor, F_GETFL) & O_ACCMODE;
  bool canRead = accessMode != O_WRONLY;
  bool canWrite = accessMode != O_RDONLY;
  int requested = openFlag & 3;
  unsigned access =
      (requested != kOWronly ? posix::kShareRead : 0u) | (requested != kORdonly ? posix::kShareWrite : 0u);
  unsigned share = shareFlag == kShDenyRw   ? 0u
                   : shareFlag == kShDenyWr ? posix::kShareRead
                   : shareFlag == kShDenyRd ? posix::kShareWrite
                                            : posix::kShareRead | posix::kShareWrite;
  posix::ShareGate gate(descriptor);
  if (posix::ShareConflicts(descriptor, access, share)) return kErrnoEacces;
  posix::HoldShare(descriptor, access, share);
  // Read-only descriptors share the gate with each other, so two of them may
  // have checked at the same time; looking again after holding settles it
  // (at worst both fail, never both succeed).
  if (!canWrite && posix::ShareConflicts(descriptor, access, share)) return kErrnoEacces;
  if ((openFlag & kOTrunc) != 0 && canWrite && ftruncate(descriptor, 0) != 0) {
    return posix::RuntimeErrnoFromErrno(errno);
  }
  if (int failure = SettleEncoding(descriptor, openFlag, canRead, canWrite, encoding); failure != 0) {
    return posix::RuntimeErrnoFromErrno(failure);
  }
  return 0;
}

bool ValidFlags(int openFlag, int shareFlag) {
  if ((openFlag & 3) == 3) return false;
  if (shareFlag != kShDenyRw && shareFlag != kShDenyWr && shareFlag != kShDenyRd && shareFlag != kShDenyNo) {
    return false;
  }
  int unicode = openFlag & (kOWText | kOU16Text | kOU8Text);
  if (std::popcount(static_cast<unsigned>(unicode)) > 1) return false;
  return (openFlag & kOBinary) == 0 || (unicode == 0 && (openFlag & kOText) == 0);
}

}  // namespace

int OpenFile(int* descriptor, std::wstring_view path, int openFlag, int shareFlag, int permission,
             std::wstring* refusal) {
  if (refusal != nullptr) refusal->clear();
  if (descriptor == nullptr) return kErrnoEinval;
  *descriptor = -1;
  if (!ValidFlags(openFlag, shareFlag)) return kErrnoEinval;
  if (path.empty() || path.find(L'\0') != std::wstring_view::npos) return kErrnoEnoent;

  std::string narrowPath = Utf8FromWide(path);
  int requested = openFlag & 3;
  int baseFlags = ((openFlag & kOAppend) != 0 ? O_APPEND : 0) | ((openFlag & kOCreat) != 0 ? O_CREAT : 0) |
                  ((openFlag & kOExcl) != 0 ? O_EXCL : 0);
  // Writers open for reading too when they may, so that the mark of an
  // existing file can be read and the sharing locks of either kind taken.
  // A new file may be written by its owner alone, whatever the umask.
  mode_t mode = (permission & kSIWrite) != 0 ? 0644 : 0444;
  posix::CheckedOpen opened =
      posix::OpenChecked(narrowPath, baseFlags | (requested == kORdonly ? O_RDONLY : O_RDWR), mode);
  if (!opened.Ok() && opened.error == EACCES && opened.refusal.empty() && requested == kOWronly) {
    opened = posix::OpenChecked(narrowPath, baseFlags | O_WRONLY, mode);
  }
  if (!opened.Ok()) {
    if (refusal != nullptr) *refusal = WideFromUtf8(opened.refusal);
    return posix::RuntimeErrnoFromErrno(opened.error);
  }
  bool created = opened.created;
  int fd = opened.descriptor.Release();

  auto reject = [fd](int number) {
    (void)posix::Descriptor(fd).Close();
    return number;
  };
  if (fd >= kMaxDescriptors) return reject(kErrnoEmfile);
  struct stat info {};
  if (fstat(fd, &info) != 0) return reject(RuntimeErrno());
  // A file without write permission carries the read-only attribute, which
  // even an administrator's open for writing respects.
  if (requested != kORdonly && !created && (info.st_mode & S_IWUSR) == 0) return reject(kErrnoEacces);

  Encoding encoding = kAnsiText;
  // The gate is released inside EstablishOpen, before any close: a closed
  // number may be reused at once by another thread.
  if (int failure = EstablishOpen(fd, openFlag, shareFlag, &encoding); failure != 0) return reject(failure);

  bool denyWrite = shareFlag == kShDenyWr || shareFlag == kShDenyRw;
  std::uint8_t state = kStateOpen | encoding | (requested != kORdonly ? kStateWritable : 0) |
                       (requested != kORdonly && (openFlag & kOAppend) != 0 && denyWrite ? kStateCutBack : 0);
  descriptorStates[fd].store(state, std::memory_order_release);
  *descriptor = fd;
  return 0;
}

int WriteText(int descriptor, std::wstring_view text, int* error) {
  std::uint8_t state = StateOf(descriptor);
  if ((state & kStateWritable) == 0) return FailBadDescriptor(state, error);
  auto encoding = static_cast<Encoding>(state & kEncodingMask);
  if (encoding == kUtf16Text) return WriteUtf16(descriptor, text, error);
  std::string utf8 = Utf8FromWide(text);
  std::string& out = ScratchBuffer();
  std::size_t units = 0;
  AppendUtf8(utf8, encoding != kBinary, out, units);
  return Finish(descriptor, out, units, error);
}

int WriteUtf8Text(int descriptor, std::string_view utf8, int* error) {
  std::uint8_t state = StateOf(descriptor);
  if ((state & kStateWritable) == 0) return FailBadDescriptor(state, error);
  auto encoding = static_cast<Encoding>(state & kEncodingMask);
  if (encoding != kUtf16Text) {
    std::string& out = ScratchBuffer();
    std::size_t units = 0;
    if (AppendUtf8(utf8, encoding != kBinary, out, units)) return Finish(descriptor, out, units, error);
  }
  // UTF-16 files and malformed input take the general road, which replaces
  // bad sequences exactly as WriteText of the decoded text would.
  return WriteText(descriptor, WideFromUtf8(utf8), error);
}

int WriteUtf8CrLfText(int descriptor, std::string_view utf8CrLf, int* error) {
  std::uint8_t state = StateOf(descriptor);
  if ((state & kStateWritable) == 0) return FailBadDescriptor(state, error);
  if (static_cast<Encoding>(state & kEncodingMask) == kUtf8Text) {
    bool cutBack = (state & kStateCutBack) != 0;
    if (int failure = WriteAll(descriptor, utf8CrLf.data(), utf8CrLf.size(), cutBack); failure != 0) {
      return Fail(error, posix::RuntimeErrnoFromErrno(failure));
    }
    return 0;
  }
  return WriteText(descriptor, WideFromUtf8CrLf(utf8CrLf), error) == -1 ? -1 : 0;
}

std::size_t WriteUtf8CrLfLines(int descriptor, std::span<const std::string_view> lines, int* error) {
  std::uint8_t state = StateOf(descriptor);
  if ((state & kStateWritable) == 0) {
    FailBadDescriptor(state, error);
    return 0;
  }
  if (static_cast<Encoding>(state & kEncodingMask) != kUtf8Text) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (WriteUtf8CrLfText(descriptor, lines[i], error) == -1) return i;
    }
    return lines.size();
  }
  std::size_t whole = 0;
  if (int failure = WriteParts(descriptor, lines, (state & kStateCutBack) != 0, &whole); failure != 0) {
    *error = posix::RuntimeErrnoFromErrno(failure);
  }
  return whole;
}

int EndLastLine(int descriptor, std::wstring_view path, int* error) {
  std::uint8_t state = StateOf(descriptor);
  if ((state & kStateWritable) == 0) return FailBadDescriptor(state, error);
  // A descriptor opened for writing only (no read permission) cannot look;
  // the file's name then can, if anything can.
  posix::Descriptor byName;
  int reader = descriptor;
  if ((fcntl(descriptor, F_GETFL) & O_ACCMODE) == O_WRONLY) {
    if (path.find(L'\0') != std::wstring_view::npos) return 0;
    byName = posix::OpenDescriptor(Utf8FromWide(path), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (!byName.Valid()) return 0;
    reader = byName.Get();
  }
  struct stat info {};
  if (fstat(reader, &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  auto size = static_cast<std::uint64_t>(info.st_size);
  char head[3] = {};
  char tail[2] = {};
  auto headSize = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof head));
  auto tailSize = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof tail));
  if (pread(reader, head, headSize, 0) != static_cast<ssize_t>(headSize) ||
      pread(reader, tail, tailSize, static_cast<off_t>(size - tailSize)) != static_cast<ssize_t>(tailSize)) {
    return 0;
  }
  bool utf16 = static_cast<Encoding>(state & kEncodingMask) == kUtf16Text;
  if (!LastLineIsOpen({head, headSize}, {tail, tailSize}, size, utf16)) return 0;
  return WriteText(descriptor, L"\n", error) < 0 ? -1 : 1;
}

int CloseFile(int descriptor, int* error) {
  if ((StateOf(descriptor) & kStateOpen) == 0) return FailBadDescriptor(0, error);
  descriptorStates[descriptor].store(0, std::memory_order_release);
  if (int failure = posix::Descriptor(descriptor).Close(); failure != 0) {
    return Fail(error, posix::RuntimeErrnoFromErrno(failure));
  }
  return 0;
}

int CommitFile(int descriptor, int* error) {
  if (std::uint8_t state = StateOf(descriptor); (state & kStateWritable) == 0) return FailBadDescriptor(state, error);
  // The data and the size needed to read it back, as a flush of the file's
  // buffers guarantees; the other metadata (times) need not wait for the
  // journal, which makes the flush far cheaper for appends.
  FileFault fault = NextFileFault(FileOperation::Commit, 0);
  if (fault.errorNumber != 0) return Fail(error, fault.errorNumber);
  if (int failure = posix::SyncData(descriptor); failure != 0) {
    return Fail(error, posix::RuntimeErrnoFromErrno(failure));
  }
  committedFiles.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

std::uint64_t CommittedFileCount() { return committedFiles.load(std::memory_order_relaxed); }

std::int64_t TellFile(int descriptor, int* error) {
  if ((StateOf(descriptor) & kStateOpen) == 0) return FailBadDescriptor(0, error);
  off_t position = lseek(descriptor, 0, SEEK_CUR);
  if (position < 0) return Fail(error, RuntimeErrno());
  return position;
}

bool SetFileSizeLimit(std::int64_t bytes) {
  // Without this the kernel ends the process at the limit instead of failing
  // the write with EFBIG.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (sigaction(SIGXFSZ, &ignore, nullptr) != 0) return false;
  rlimit limit{};
  if (getrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
  if (bytes < 0) {
    limit.rlim_cur = limit.rlim_max;
  } else {
    if (limit.rlim_max != RLIM_INFINITY && static_cast<rlim_t>(bytes) > limit.rlim_max) return false;
    limit.rlim_cur = static_cast<rlim_t>(bytes);
  }
  return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

}  // namespace wl::platform
