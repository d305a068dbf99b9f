// A minidump of this process in the MDMP format, written from a signal
// handler: system information for Linux on x86-64, the threads with their
// registers and stacks, the modules from /proc/self/maps (with their ELF
// build ids, so a debugger finds the matching files), the exception, the
// memory of the stacks, and with MiniDumpWithFullMemory (2) every readable
// mapping. Everything here is async-signal-safe: system calls only, static
// buffers, no allocation and no locks. Memory is read with
// process_vm_readv, so an unreadable page gives zeros instead of a fault.
#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cpuid.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "crash/crash.h"
#include "crash/posix/crash_state.h"
#include "platform/posix/checked_open.h"
#include "platform/posix/trust.h"
#include "platform/text.h"

namespace wl::platform {
namespace {

// Stream types and record sizes of the format.
constexpr std::uint32_t kThreadListStream = 3;
constexpr std::uint32_t kModuleListStream = 4;
constexpr std::uint32_t kMemoryListStream = 5;
constexpr std::uint32_t kExceptionStream = 6;
constexpr std::uint32_t kSystemInfoStream = 7;
constexpr std::uint32_t kMemory64ListStream = 9;
constexpr std::uint32_t kMiscInfoStream = 15;
constexpr std::uint32_t kLinuxMapsStream = 0x47670009;
constexpr std::uint32_t kMaxStreams = 8;
constexpr std::uint32_t kContextSize = 1232;
constexpr std::uint32_t kModuleRecordSize = 108;
constexpr std::uint32_t kExceptionStreamSize = 168;
constexpr std::uint32_t kFullMemoryFlag = 2;

constexpr std::size_t kMaxThreads = 512;
constexpr std::size_t kMaxMappings = 16384;
// Parts of memory in a full dump; more are left out.
constexpr std::size_t kMaxRuns = 65536;
constexpr std::size_t kMapsBufferSize = 4 << 20;
constexpr std::size_t kStackLimit = 256 * 1024;
constexpr std::size_t kRedZone = 128;
// Larger mappings are reservations (sanitizer shadow memory, say), not data.
constexpr std::uint64_t kLargestDumpedMapping = std::uint64_t{4} << 30;

// Filled by the dumping thread before it signals the thread, read by that
// thread's handler: atomics, since nothing else orders the two.
struct ThreadRecord {
  std::atomic<pid_t> id{0};
  std::atomic<int> ready{0};
  gregset_t registers{};
  _libc_fpstate floating{};
  bool hasFloating = false;
};

struct Mapping {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::uint64_t offset = 0;
  bool readable = false;
  const char* path = nullptr;  // into mapsText, not terminated
  std::size_t pathLength = 0;
};

struct Located {
  std::uint32_t size = 0;
  std::uint32_t rva = 0;
};

struct StreamEntry {
  std::uint32_t type = 0;
  Located where;
};

// Prepared at installation.
utsname systemName{};
std::uint32_t processorCount = 1;
std::uint32_t cpuVendor[3] = {};
std::uint32_t cpuVersion = 0;
std::uint32_t cpuFeatures = 0;
int suspendSignal = 0;

// The dump's working memory.
ThreadRecord threads[kMaxThreads];
std::atomic<std::size_t> threadCount{0};
std::atomic<int> releaseThreads{0};
char mapsText[kMapsBufferSize];
std::size_t mapsLength = 0;
Mapping mappings[kMaxMappings];
std::size_t mappingCount = 0;
unsigned char copyBuffer[64 * 1024];
char pathBuffer[4096];
char16_t nameBuffer[4096];

pid_t ThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// The output file, written front to back with the stream directory filled in
// at the end.
class DumpWriter {
 public:
  explicit DumpWriter(int descriptor) : descriptor_(descriptor) {}

  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] std::uint32_t Position() const { return static_cast<std::uint32_t>(position_); }

  void Append(const void* data, std::size_t size) { WriteAt(position_, data, size), position_ += size; }

  void WriteAt(std::uint64_t where, const void* data, std::size_t size) {
    auto bytes = static_cast<const char*>(data);
    while (ok_ && size > 0) {
      ssize_t written = pwrite(descriptor_, bytes, size, static_cast<off_t>(where));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        ok_ = false;
        return;
      }
      bytes += written;
      where += static_cast<std::uint64_t>(written);
      size -= static_cast<std::size_t>(written);
    }
  }

  void Align(std::size_t alignment) {
    static const char zeros[16] = {};
    std::size_t padding = (alignment - position_ % alignment) % alignment;
    Append(zeros, padding);
  }

  template <typename T>
  void Put(T value) {
    Append(&value, sizeof value);
  }

  // The process's memory from address on, zeros where it cannot be read.
  void AppendMemory(std::uint64_t address, std::uint64_t size) {
    while (ok_ && size > 0) {
      std::size_t chunk = size < sizeof copyBuffer ? static_cast<std::size_t>(size) : sizeof copyBuffer;
      iovec local{copyBuffer, chunk};
      iovec remote{reinterpret_cast<void*>(address), chunk};
      ssize_t got = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
      if (got < 0) got = 0;
      if (static_cast<std::size_t>(got) < chunk)
        std::memset(copyBuffer + got, 0, chunk - static_cast<std::size_t>(got));
      Append(copyBuffer, chunk);
      address += chunk;
      size -= chunk;
    }
  }

 private:
  int descriptor_;
  std::uint64_t position_ = 0;
  bool ok_ = true;
};

bool ReadMemory(std::uint64_t address, void* out, std::size_t size) {
  iovec local{out, size};
  iovec remote{reinterpret_cast<void*>(address), size};
  return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

// Converts UTF-8 into nameBuffer; returns the number of UTF-16 units.
std::size_t Utf16FromUtf8(const char* text, std::size_t length) {
  std::size_t units = 0;
  constexpr std::size_t kRoom = sizeof nameBuffer / sizeof nameBuffer[0] - 2;
  for (std::size_t i = 0; i < length && units < kRoom;) {
    auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
    if (extra != 0 && i + extra >= length) break;
    for (std::size_t k = 1; k <= extra; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      nameBuffer[units++] = static_cast<char16_t>(0xD800 + (c >> 10));
      nameBuffer[units++] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      nameBuffer[units++] = static_cast<char16_t>(c);
    }
  }
  return units;
}

// MINIDUMP_STRING: byte length, UTF-16 units, a terminating null.
Located AppendString(DumpWriter& out, const char* text, std::size_t length) {
  out.Align(4);
  std::size_t units = Utf16FromUtf8(text, length);
  nameBuffer[units] = 0;
  Located where{static_cast<std::uint32_t>(units * 2), out.Position()};
  out.Put(static_cast<std::uint32_t>(units * 2));
  out.Append(nameBuffer, (units + 1) * 2);
  return where;
}

std::uint64_t ParseHex(const char*& cursor, const char* end) {
  std::uint64_t value = 0;
  for (; cursor < end; ++cursor) {
    char c = *cursor;
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) break;
    value = value << 4 | static_cast<std::uint64_t>(digit);
  }
  return value;
}

// Reads /proc/self/maps into mapsText and its lines into mappings.
void ReadMappings() {
  mapsLength = 0;
  mappingCount = 0;
  int descriptor = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return;
  for (;;) {
    ssize_t got = read(descriptor, mapsText + mapsLength, sizeof mapsText - mapsLength);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    mapsLength += static_cast<std::size_t>(got);
  }
  close(descriptor);
  const char* end = mapsText + mapsLength;
  for (const char* line = mapsText; line < end && mappingCount < kMaxMappings;) {
    const char* lineEnd = line;
    while (lineEnd < end && *lineEnd != '\n') ++lineEnd;
    // "start-end perms offset dev inode   path"
    Mapping mapping;
    const char* cursor = line;
    mapping.start = ParseHex(cursor, lineEnd);
    ++cursor;
    mapping.end = ParseHex(cursor, lineEnd);
    ++cursor;
    mapping.readable = cursor < lineEnd && *cursor == 'r';
    cursor += 5;
    mapping.offset = ParseHex(cursor, lineEnd);
    for (int field = 0; field < 2 && cursor < lineEnd; ++field) {
      while (cursor < lineEnd && *cursor == ' ') ++cursor;
      while (cursor < lineEnd && *cursor != ' ') ++cursor;
    }
    while (cursor < lineEnd && *cursor == ' ') ++cursor;
    mapping.path = cursor;
    mapping.pathLength = static_cast<std::size_t>(lineEnd - cursor);
    constexpr char kDeleted[] = " (deleted)";
    constexpr std::size_t kDeletedLength = sizeof kDeleted - 1;
    if (mapping.pathLength > kDeletedLength &&
        std::memcmp(cursor + mapping.pathLength - kDeletedLength, kDeleted, kDeletedLength) == 0) {
      mapping.pathLength -= kDeletedLength;
    }
    if (mapping.end > mapping.start) mappings[mappingCount++] = mapping;
    line = lineEnd + 1;
  }
}

const Mapping* MappingOf(std::uint64_t address) {
  for (std::size_t i = 0; i < mappingCount; ++i) {
    if (address >= mappings[i].start && address < mappings[i].end) return &mappings[i];
  }
  return nullptr;
}

bool SamePath(const Mapping& a, const Mapping& b) {
  return a.pathLength == b.pathLength && std::memcmp(a.path, b.path, a.pathLength) == 0;
}

void OnSuspendSignal(int, siginfo_t*, void* context) {
  pid_t self = ThreadId();
  for (std::size_t i = 0; i < threadCount; ++i) {
    ThreadRecord& record = threads[i];
    if (record.id != self || record.ready.load() != 0) continue;
    auto state = static_cast<const ucontext_t*>(context);
    std::memcpy(record.registers, state->uc_mcontext.gregs, sizeof record.registers);
    if (state->uc_mcontext.fpregs != nullptr) {
      std::memcpy(&record.floating, state->uc_mcontext.fpregs, sizeof record.floating);
      record.hasFloating = true;
    }
    record.ready.store(1);
    // Held still until the dump is written, so its stack matches.
    while (releaseThreads.load() == 0) {
      timespec wait{0, 10'000'000};
      syscall(SYS_futex, &releaseThreads, FUTEX_WAIT, 0, &wait, nullptr, 0);
    }
    return;
  }
}

void SleepBriefly() {
  timespec wait{0, 1'000'000};
  nanosleep(&wait, nullptr);
}

// Lists the process's threads (the crashing one first) and asks each other
// thread for its registers, waiting up to a second for all of them. A
// thread that does not answer (it blocks the signal) is left out.
void CollectThreads(pid_t self, const ucontext_t* context) {
  threadCount = 0;
  releaseThreads.store(0);
  ThreadRecord& first = threads[threadCount++];
  first.id = self;
  first.hasFloating = false;
  if (context != nullptr) {
    std::memcpy(first.registers, context->uc_mcontext.gregs, sizeof first.registers);
    if (context->uc_mcontext.fpregs != nullptr) {
      std::memcpy(&first.floating, context->uc_mcontext.fpregs, sizeof first.floating);
      first.hasFloating = true;
    }
  } else {
    ucontext_t here{};
    getcontext(&here);
    std::memcpy(first.registers, here.uc_mcontext.gregs, sizeof first.registers);
  }
  first.ready.store(1);

  int directory = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return;
  alignas(8) static char entries[16384];
  for (;;) {
    long got = syscall(SYS_getdents64, directory, entries, sizeof entries);
    if (got <= 0) break;
    for (long at = 0; at < got;) {
      auto entry = reinterpret_cast<const dirent64*>(entries + at);
      at += entry->d_reclen;
      pid_t id = 0;
      for (const char* c = entry->d_name; *c >= '0' && *c <= '9'; ++c) id = id * 10 + (*c - '0');
      if (id <= 0 || id == self || threadCount >= kMaxThreads) continue;
      ThreadRecord& record = threads[threadCount++];
      record.id = id;
      record.hasFloating = false;
      record.ready.store(0);
    }
  }
  close(directory);
  if (suspendSignal == 0) return;
  for (std::size_t i = 1; i < threadCount; ++i) syscall(SYS_tgkill, getpid(), threads[i].id.load(), suspendSignal);
  for (int waited = 0; waited < 1000; ++waited) {
    bool all = true;
    for (std::size_t i = 1; i < threadCount && all; ++i) all = threads[i].ready.load() != 0;
    if (all) break;
    SleepBriefly();
  }
}

void ReleaseThreads() {
  releaseThreads.store(1);
  syscall(SYS_futex, &releaseThreads, FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}

// CONTEXT for AMD64 (the Windows layout that minidump readers expect).
void AppendContext(DumpWriter& out, const ThreadRecord& record) {
  unsigned char context[kContextSize] = {};
  auto put64 = [&context](std::size_t at, std::uint64_t value) { std::memcpy(context + at, &value, 8); };
  auto put32 = [&context](std::size_t at, std::uint32_t value) { std::memcpy(context + at, &value, 4); };
  auto put16 = [&context](std::size_t at, std::uint16_t value) { std::memcpy(context + at, &value, 2); };
  const greg_t* r = record.registers;
  // CONTEXT_AMD64 | CONTROL | INTEGER | SEGMENTS | FLOATING_POINT
  put32(0x30, 0x0010000F);
  put32(0x34, record.hasFloating ? record.floating.mxcsr : 0);
  std::uint64_t csgsfs = static_cast<std::uint64_t>(r[REG_CSGSFS]);
  put16(0x38, static_cast<std::uint16_t>(csgsfs));
  put16(0x40, static_cast<std::uint16_t>(csgsfs >> 16));
  put16(0x3E, static_cast<std::uint16_t>(csgsfs >> 32));
  put32(0x44, static_cast<std::uint32_t>(r[REG_EFL]));
  const int order[] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI, REG_R8,
                       REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP};
  for (std::size_t i = 0; i < sizeof order / sizeof order[0]; ++i) {
    put64(0x78 + i * 8, static_cast<std::uint64_t>(r[order[i]]));
  }
  // The FXSAVE image, which is the layout of the context's FltSave area.
  if (record.hasFloating) std::memcpy(context + 0x100, &record.floating, 512);
  out.Append(context, sizeof context);
}

// The ELF build id of the module whose first page is at base; 0 bytes when
// there is none.
std::size_t BuildId(std::uint64_t base, unsigned char (&id)[64]) {
  unsigned char header[64];
  if (!ReadMemory(base, header, sizeof header) ||
      std::memcmp(header,
                  "\x7F"
                  "ELF",
                  4) != 0 ||
      header[4] != 2) {
    return 0;
  }
  std::uint64_t programHeaders = 0;
  std::uint16_t entrySize = 0;
  std::uint16_t entryCount = 0;
  std::memcpy(&programHeaders, header + 0x20, 8);
  std::memcpy(&entrySize, header + 0x36, 2);
  std::memcpy(&entryCount, header + 0x38, 2);
  if (entrySize < 56 || entryCount > 64) return 0;
  std::uint64_t bias = base;
  bool biasFound = false;
  unsigned char entries[64][56];
  for (std::uint16_t i = 0; i < entryCount; ++i) {
    if (!ReadMemory(base + programHeaders + std::uint64_t{i} * entrySize, entries[i], 56)) return 0;
    std::uint32_t type = 0;
    std::uint64_t offset = 0;
    std::uint64_t address = 0;
    std::memcpy(&type, entries[i], 4);
    std::memcpy(&offset, entries[i] + 8, 8);
    std::memcpy(&address, entries[i] + 16, 8);
    if (type == 1 && offset == 0 && !biasFound) {
      bias = base - (address & ~std::uint64_t{0xFFF});
      biasFound = true;
    }
  }
  for (std::uint16_t i = 0; i < entryCount; ++i) {
    std::uint32_t type = 0;
    std::uint64_t address = 0;
    std::uint64_t size = 0;
    std::memcpy(&type, entries[i], 4);
    std::memcpy(&address, entries[i] + 16, 8);
    std::memcpy(&size, entries[i] + 40, 8);
    if (type != 4) continue;  // PT_NOTE
    unsigned char notes[1024];
    if (size > sizeof notes) size = sizeof notes;
    if (!ReadMemory(bias + address, notes, static_cast<std::size_t>(size))) continue;
    for (std::size_t at = 0; at + 12 <= size;) {
      std::uint32_t nameSize = 0;
      std::uint32_t descriptionSize = 0;
      std::uint32_t noteType = 0;
      std::memcpy(&nameSize, notes + at, 4);
      std::memcpy(&descriptionSize, notes + at + 4, 4);
      std::memcpy(&noteType, notes + at + 8, 4);
      std::size_t name = at + 12;
      std::size_t description = name + ((nameSize + 3u) & ~3u);
      std::size_t next = description + ((descriptionSize + 3u) & ~3u);
      if (next > size || next <= at) break;
      if (noteType == 3 && nameSize == 4 && std::memcmp(notes + name, "GNU", 4) == 0 && descriptionSize <= 64) {
        std::memcpy(id, notes + description, descriptionSize);
        return descriptionSize;
      }
      at = next;
    }
  }
  return 0;
}

// Modules: each file mapped from offset 0 with an ELF header, spanning its
// consecutive mappings of the same file.
Located AppendModuleList(DumpWriter& out) {
  struct Module {
    std::size_t first;
    std::uint64_t end;
    Located name;
    Located codeView;
  };
  static Module modules[1024];
  std::size_t count = 0;
  for (std::size_t i = 0; i < mappingCount && count < sizeof modules / sizeof modules[0]; ++i) {
    const Mapping& mapping = mappings[i];
    if (mapping.offset != 0 || mapping.pathLength == 0 || mapping.path[0] != '/') continue;
    char magic[4];
    if (!ReadMemory(mapping.start, magic, 4) || std::memcmp(magic,
                                                            "\x7F"
                                                            "ELF",
                                                            4) != 0)
      continue;
    Module& module = modules[count++];
    module.first = i;
    module.end = mapping.end;
    for (std::size_t k = i + 1; k < mappingCount && SamePath(mappings[k], mapping); ++k) module.end = mappings[k].end;
    module.name = AppendString(out, mapping.path, mapping.pathLength);
    unsigned char id[64];
    std::size_t idSize = BuildId(mapping.start, id);
    module.codeView = {};
    if (idSize > 0) {
      out.Align(4);
      module.codeView = {static_cast<std::uint32_t>(4 + idSize), out.Position()};
      out.Put(std::uint32_t{0x4270454C});  // "BpEL": an ELF build id
      out.Append(id, idSize);
    }
  }
  out.Align(4);
  Located list{static_cast<std::uint32_t>(4 + count * kModuleRecordSize), out.Position()};
  out.Put(static_cast<std::uint32_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    unsigned char record[kModuleRecordSize] = {};
    std::uint64_t base = mappings[modules[i].first].start;
    auto size = static_cast<std::uint32_t>(modules[i].end - base);
    std::memcpy(record, &base, 8);
    std::memcpy(record + 8, &size, 4);
    std::memcpy(record + 20, &modules[i].name.rva, 4);
    std::memcpy(record + 76, &modules[i].codeView, 8);
    out.Append(record, sizeof record);
  }
  return list;
}

// The stack of a thread: from below its stack pointer (the red zone) to at
// most kStackLimit above, within the mapping that holds it.
void StackRange(std::uint64_t stackPointer, std::uint64_t* start, std::uint64_t* size) {
  *start = 0;
  *size = 0;
  const Mapping* mapping = MappingOf(stackPointer);
  if (mapping == nullptr) {
    // A stack overflow leaves the pointer just below the stack's mapping:
    // keep what lies above it, where the callers' frames are.
    for (std::size_t i = 0; i < mappingCount; ++i) {
      if (mappings[i].start > stackPointer && mappings[i].start - stackPointer <= 64 * 1024) mapping = &mappings[i];
    }
    if (mapping == nullptr) return;
  }
  std::uint64_t low = stackPointer - kRedZone;
  if (low < mapping->start || low > stackPointer) low = mapping->start;
  std::uint64_t high = mapping->end - low > kStackLimit ? low + kStackLimit : mapping->end;
  *start = low;
  *size = high - low;
}

struct ThreadPlace {
  std::uint64_t stackStart;
  Located stack;
  Located context;
};

Located AppendSystemInfo(DumpWriter& out) {
  static char description[sizeof systemName.release + sizeof systemName.version + 8];
  std::size_t length = 0;
  const char* parts[] = {systemName.release, " ", systemName.version};
  for (const char* part : parts) {
    for (; *part != '\0' && length + 1 < sizeof description; ++part) description[length++] = *part;
  }
  Located version = AppendString(out, description, length);
  unsigned major = 0, minor = 0, build = 0;
  const char* cursor = systemName.release;
  unsigned* fields[] = {&major, &minor, &build};
  for (unsigned* field : fields) {
    while (*cursor >= '0' && *cursor <= '9') *field = *field * 10 + static_cast<unsigned>(*cursor++ - '0');
    if (*cursor == '.') ++cursor;
  }
  unsigned char info[56] = {};
  auto put16 = [&info](std::size_t at, std::uint16_t value) { std::memcpy(info + at, &value, 2); };
  auto put32 = [&info](std::size_t at, std::uint32_t value) { std::memcpy(info + at, &value, 4); };
  put16(0, 9);  // PROCESSOR_ARCHITECTURE_AMD64
  put16(2, static_cast<std::uint16_t>((cpuVersion >> 8) & 0xF));
  put16(4, static_cast<std::uint16_t>(cpuVersion & 0xFFFF));
  info[6] = static_cast<unsigned char>(processorCount > 255 ? 255 : processorCount);
  info[7] = 1;  // VER_NT_WORKSTATION
  put32(8, major);
  put32(12, minor);
  put32(16, build);
  put32(20, 0x8201);  // Linux
  put32(24, version.rva);
  std::memcpy(info + 32, cpuVendor, 12);
  put32(44, cpuVersion);
  put32(48, cpuFeatures);
  out.Align(4);
  Located where{sizeof info, out.Position()};
  out.Append(info, sizeof info);
  return where;
}

// The wide path as UTF-8 in pathBuffer, without the conversion functions
// (they allocate). False when it does not fit.
bool EncodePath(const wchar_t* path) {
  std::size_t length = 0;
  for (const wchar_t* c = path; *c != L'\0'; ++c) {
    auto code = static_cast<char32_t>(*c);
    std::size_t needed = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
    if (length + needed + 1 > sizeof pathBuffer) return false;
    if (needed == 1) {
      pathBuffer[length++] = static_cast<char>(code);
      continue;
    }
    static constexpr unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (std::size_t k = needed; k-- > 0;) {
      pathBuffer[length + k] = static_cast<char>(0x80 | (code & 0x3F));
      code >>= 6;
    }
    pathBuffer[length] = static_cast<char>(kLead[needed] | static_cast<unsigned char>(pathBuffer[length] & 0x3F));
    length += needed;
  }
  pathBuffer[length] = '\0';
  return true;
}

// MINIDUMP_EXCEPTION_STREAM of the crashing thread.
void AppendException(DumpWriter& out, const CrashInfo& info, const ThreadRecord& thread, Located context) {
  unsigned char exception[kExceptionStreamSize] = {};
  auto put32 = [&exception](std::size_t at, std::uint32_t value) { std::memcpy(exception + at, &value, 4); };
  put32(0, static_cast<std::uint32_t>(info.threadId));
  // Readers of Linux dumps take the code for the signal (a debugger given
  // 0xE0000001 as a signal number hangs), so a raised exception is the
  // SIGABRT that carried it, with its code as the first parameter.
  put32(8, static_cast<std::uint32_t>(info.signal));
  auto address = static_cast<std::uint64_t>(thread.registers[REG_RIP]);
  if (info.exceptionCode != 0) {
    put32(32, 1);
    std::uint64_t code = info.exceptionCode;
    std::memcpy(exception + 40, &code, 8);
  } else if (info.signalInfo != nullptr) {
    put32(12, static_cast<std::uint32_t>(info.signalInfo->si_code));
    if (info.signal != SIGABRT) address = reinterpret_cast<std::uint64_t>(info.signalInfo->si_addr);
  }
  std::memcpy(exception + 24, &address, 8);
  std::memcpy(exception + 160, &context, 8);
  out.Append(exception, sizeof exception);
}

bool DumpedInFull(const Mapping& m) {
  return m.readable && m.end - m.start <= kLargestDumpedMapping &&
         !(m.pathLength >= 5 && std::memcmp(m.path, "/dev/", 5) == 0) &&
         !(m.pathLength == 6 && std::memcmp(m.path, "[vvar]", 6) == 0) &&
         !(m.pathLength == 10 && std::memcmp(m.path, "[vsyscall]", 10) == 0);
}

// Calls visit(start, end) for the parts of a mapping that hold data. A file's
// pages all do (an absent one is read from the file); of anonymous memory
// only the pages that were ever touched, present or swapped out
// (/proc/self/pagemap), since the rest reads as zeros: sanitizers reserve
// hundreds of megabytes that way. Runs less than kGapPages apart are joined.
template <typename Visit>
void ForEachRunWithData(int pagemap, const Mapping& mapping, Visit visit) {
  if ((mapping.pathLength > 0 && mapping.path[0] == '/') || pagemap < 0) {
    visit(mapping.start, mapping.end);
    return;
  }
  constexpr std::uint64_t kPage = 4096;
  constexpr std::uint64_t kGapPages = 16;
  constexpr std::uint64_t kPresentOrSwapped = std::uint64_t{3} << 62;
  static std::uint64_t entries[512];
  std::uint64_t runStart = 0;
  std::uint64_t runEnd = 0;
  bool inRun = false;
  for (std::uint64_t page = mapping.start; page < mapping.end;) {
    std::uint64_t count = (mapping.end - page) / kPage;
    if (count > 512) count = 512;
    ssize_t got = pread(pagemap, entries, count * 8, static_cast<off_t>(page / kPage * 8));
    std::uint64_t known = got > 0 ? static_cast<std::uint64_t>(got) / 8 : 0;
    for (std::uint64_t i = 0; i < count; ++i, page += kPage) {
      // A page whose state cannot be read is kept.
      if (i < known && (entries[i] & kPresentOrSwapped) == 0) continue;
      if (inRun && page - runEnd <= kGapPages * kPage) {
        runEnd = page + kPage;
        continue;
      }
      if (inRun) visit(runStart, runEnd);
      runStart = page;
      runEnd = page + kPage;
      inRun = true;
    }
  }
  if (inRun) visit(runStart, runEnd);
}

// MINIDUMP_MEMORY64_LIST of every readable mapping's data, the bytes after
// the descriptors, in the same order. The runs are listed once, so that the
// descriptors and the bytes agree even if a page changes state meanwhile.
void AppendFullMemory(DumpWriter& out, StreamEntry& stream) {
  struct Run {
    std::uint64_t start;
    std::uint64_t size;
  };
  static Run runs[kMaxRuns];
  std::size_t count = 0;
  int pagemap = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
  for (std::size_t i = 0; i < mappingCount; ++i) {
    if (!DumpedInFull(mappings[i])) continue;
    ForEachRunWithData(pagemap, mappings[i], [&](std::uint64_t start, std::uint64_t end) {
      if (count < kMaxRuns) runs[count++] = {start, end - start};
    });
  }
  if (pagemap >= 0) close(pagemap);
  out.Align(8);
  std::uint32_t listStart = out.Position();
  stream = {kMemory64ListStream, {static_cast<std::uint32_t>(16 + count * 16), listStart}};
  out.Put(std::uint64_t{count});
  out.Put(std::uint64_t{listStart + 16 + count * 16});
  out.Append(runs, count * sizeof(Run));
  for (std::size_t i = 0; i < count; ++i) out.AppendMemory(runs[i].start, runs[i].size);
}

// The dump folder that PrepareMinidumpFolder checked. Two slots: a call
// fills the one not in use and then publishes it, so a crash never sees a
// half-written one.
struct PreparedFolder {
  int descriptor = -1;   // the dump folder, or its nearest existing folder
  char path[4096] = {};  // the dump folder's path, ending with '/'
  char rest[4096] = {};  // the folders missing below descriptor, '/'-separated
  uid_t trusted[3] = {0, 0, 0};
};
PreparedFolder preparedSlots[2];
std::atomic<int> preparedSlot{-1};
std::mutex preparedLock;

// Opens the file that pathBuffer names in the prepared folder, walking the
// folders missing at preparation one at a time: each must be a folder (no
// link) of a trusted account that others may not write unless it is
// sticky. -1 when that fails or the path lies elsewhere.
int OpenInPreparedFolder(int flags, mode_t mode) {
  int current = preparedSlot.load();
  if (current < 0) return -1;
  const PreparedFolder& slot = preparedSlots[current];
  std::size_t folderLength = std::strlen(slot.path);
  if (slot.descriptor < 0 || folderLength == 0 || std::strncmp(pathBuffer, slot.path, folderLength) != 0) return -1;
  const char* name = pathBuffer + folderLength;
  if (*name == '\0' || std::strchr(name, '/') != nullptr) return -1;
  int folder = slot.descriptor;
  char part[256];
  for (const char* at = slot.rest; *at != '\0';) {
    std::size_t length = std::strcspn(at, "/");
    if (length == 0 || length >= sizeof part) {
      if (folder != slot.descriptor) close(folder);
      return -1;
    }
    std::memcpy(part, at, length);
    part[length] = '\0';
    at += length + (at[length] == '/' ? 1 : 0);
    int next = openat(folder, part, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder != slot.descriptor) close(folder);
    if (next < 0) return -1;
    struct stat info {};
    bool trusted =
        fstat(next, &info) == 0 && S_ISDIR(info.st_mode) &&
        (info.st_uid == slot.trusted[0] || info.st_uid == slot.trusted[1] || info.st_uid == slot.trusted[2]) &&
        ((info.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (info.st_mode & S_ISVTX) != 0);
    if (!trusted) {
      close(next);
      return -1;
    }
    folder = next;
  }
  int descriptor = openat(folder, name, flags, mode);
  if (folder != slot.descriptor) close(folder);
  return descriptor;
}

}  // namespace

void posix::PrepareMinidumpWriter() {
  uname(&systemName);
  processorCount = std::thread::hardware_concurrency();
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(0, &a, &b, &c, &d) != 0) {
    cpuVendor[0] = b;
    cpuVendor[1] = d;
    cpuVendor[2] = c;
  }
  if (__get_cpuid(1, &a, &b, &c, &d) != 0) {
    cpuVersion = a;
    cpuFeatures = d;
  }
  if (suspendSignal == 0) {
    suspendSignal = SIGRTMIN + 7;
    struct sigaction action {};
    action.sa_sigaction = OnSuspendSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(suspendSignal, &action, nullptr);
  }
}

void PrepareMinidumpFolder(std::wstring_view folder) {
  std::lock_guard lock(preparedLock);
  int next = 1 - std::max(preparedSlot.load(), 0);
  PreparedFolder& slot = preparedSlots[next];
  // The slot not in use; a crash reads only the other.
  if (slot.descriptor >= 0) close(slot.descriptor);
  slot = PreparedFolder{};
  std::string path = Utf8FromWide(folder);
  if (path.empty() || path.back() != '/' || path.size() >= sizeof slot.path) {
    preparedSlot.store(next);
    return;
  }
  // The nearest existing folder, checked; the folders still missing below
  // it are looked up at the crash.
  std::string existing = path;
  std::string missing;
  for (;;) {
    posix::CheckedOpen checked = posix::OpenFolder(existing);
    if (checked.Ok()) {
      slot.descriptor = checked.descriptor.Release();
      break;
    }
    if (checked.error != ENOENT || existing == "/") break;
    std::string parent = posix::FolderOf(existing);
    missing = posix::NameOf(existing) + (missing.empty() ? "" : "/" + missing);
    existing = parent;
  }
  if (missing.size() < sizeof slot.rest) {
    std::memcpy(slot.path, path.data(), path.size());
    std::memcpy(slot.rest, missing.data(), missing.size());
  } else if (slot.descriptor >= 0) {
    close(slot.descriptor);
    slot.descriptor = -1;
  }
  slot.trusted[0] = 0;
  slot.trusted[1] = posix::MachineRootOwner();
  slot.trusted[2] = geteuid();
  preparedSlot.store(next);
}

bool WriteMinidump(const wchar_t* path, std::uint32_t dumpType, const CrashInfo* info) {
  if (!EncodePath(path)) return false;
  // A link or a pipe placed under the dump's name (known from the time)
  // must not make this process write elsewhere or hang, and a file of
  // another user is not this process's to overwrite. Dumps hold the
  // process's memory, so only their owner may read them.
  int descriptor = OpenInPreparedFolder(O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
  if (descriptor < 0) return false;
  struct stat file {};
  if (fstat(descriptor, &file) != 0 || !S_ISREG(file.st_mode) || file.st_uid != geteuid() || file.st_nlink != 1 ||
      fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(descriptor);
    return false;
  }

  pid_t self = info != nullptr ? info->threadId : ThreadId();
  ReadMappings();
  CollectThreads(self, info != nullptr ? info->context : nullptr);

  DumpWriter out(descriptor);
  constexpr std::uint32_t kDirectory = 32;
  StreamEntry streams[kMaxStreams];
  std::uint32_t streamCount = 0;
  unsigned char zeros[kDirectory + kMaxStreams * 12] = {};
  out.Append(zeros, sizeof zeros);

  streams[streamCount++] = {kSystemInfoStream, AppendSystemInfo(out)};

  static ThreadPlace places[kMaxThreads];
  std::size_t placed = 0;
  for (std::size_t i = 0; i < threadCount; ++i) {
    if (threads[i].ready.load() == 0) continue;
    ThreadPlace& place = places[placed++];
    out.Align(16);
    place.context = {kContextSize, out.Position()};
    AppendContext(out, threads[i]);
    std::uint64_t size = 0;
    StackRange(static_cast<std::uint64_t>(threads[i].registers[REG_RSP]), &place.stackStart, &size);
    out.Align(16);
    place.stack = {static_cast<std::uint32_t>(size), out.Position()};
    out.AppendMemory(place.stackStart, size);
  }

  out.Align(4);
  Located threadList{static_cast<std::uint32_t>(4 + placed * 48), out.Position()};
  out.Put(static_cast<std::uint32_t>(placed));
  std::size_t record = 0;
  for (std::size_t i = 0; i < threadCount; ++i) {
    if (threads[i].ready.load() == 0) continue;
    const ThreadPlace& place = places[record++];
    unsigned char thread[48] = {};
    auto id = static_cast<std::uint32_t>(threads[i].id.load());
    std::memcpy(thread, &id, 4);
    std::memcpy(thread + 24, &place.stackStart, 8);
    std::memcpy(thread + 32, &place.stack, 8);
    std::memcpy(thread + 40, &place.context, 8);
    out.Append(thread, sizeof thread);
  }
  streams[streamCount++] = {kThreadListStream, threadList};

  streams[streamCount++] = {kModuleListStream, AppendModuleList(out)};

  if (info != nullptr && placed > 0) {
    out.Align(4);
    streams[streamCount++] = {kExceptionStream, {kExceptionStreamSize, out.Position()}};
    AppendException(out, *info, threads[0], places[0].context);
  }

  out.Align(4);
  streams[streamCount++] = {kMemoryListStream, {static_cast<std::uint32_t>(4 + placed * 16), out.Position()}};
  out.Put(static_cast<std::uint32_t>(placed));
  for (std::size_t i = 0; i < placed; ++i) {
    out.Put(places[i].stackStart);
    out.Put(places[i].stack);
  }

  unsigned char misc[24] = {};
  std::uint32_t miscHeader[3] = {sizeof misc, 1, static_cast<std::uint32_t>(getpid())};  // MINIDUMP_MISC1_PROCESS_ID
  std::memcpy(misc, miscHeader, sizeof miscHeader);
  out.Align(4);
  streams[streamCount++] = {kMiscInfoStream, {sizeof misc, out.Position()}};
  out.Append(misc, sizeof misc);

  streams[streamCount++] = {kLinuxMapsStream, {static_cast<std::uint32_t>(mapsLength), out.Position()}};
  out.Append(mapsText, mapsLength);

  if ((dumpType & kFullMemoryFlag) != 0) AppendFullMemory(out, streams[streamCount++]);

  std::uint32_t header[8] = {
      0x504D444D,  // "MDMP"
      0xA793,     streamCount, kDirectory, 0, static_cast<std::uint32_t>(time(nullptr)), dumpType, 0};
  out.WriteAt(0, header, sizeof header);
  for (std::uint32_t i = 0; i < streamCount; ++i) {
    std::uint32_t entry[3] = {streams[i].type, streams[i].where.size, streams[i].where.rva};
    out.WriteAt(kDirectory + i * 12, entry, sizeof entry);
  }
  bool written = out.ok();
  close(descriptor);
  // The other threads were held still for a consistent picture of memory.
  ReleaseThreads();
  return written;
}

}  // namespace wl::platform
