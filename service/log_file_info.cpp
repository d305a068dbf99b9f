#include "service/log_file_info.h"

#include <algorithm>
#include <array>
#include <atomic>

#include "diagnostics/clock.h"
#include "diagnostics/path_data.h"
#include "diagnostics/registry_key.h"
#include "logclient/diagnostic.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "platform/text_file.h"
#include "registry/registry.h"
#include "service/file_committer.h"

namespace wl {
namespace {

std::atomic<std::int64_t> maxLogFileSize{0};

constexpr std::wstring_view kLogSuffix = L".log";

// Write-only, append, create, UTF-8 text mode (0x44109); others may read
// but not write; a created file is readable and writable.
constexpr int kOpenFlags =
    platform::kOWronly | platform::kOAppend | platform::kOCreat | platform::kOText | platform::kOU8Text;
constexpr int kOpenPermission = platform::kSIRead | platform::kSIWrite;

enum class Presence { Present, Absent, Unknown };

// A file exists when its attributes can be read; the "not found" family of
// errors means it does not. Anything else leaves the question open.
Presence Probe(const std::wstring& path, Win32Error* error) {
  *error = platform::GetPathAttributes(path).ErrorCode();
  if (*error == kErrorSuccess) return Presence::Present;
  return platform::IsNotFoundError(*error) ? Presence::Absent : Presence::Unknown;
}

struct ShiftStep {
  std::wstring_view source;
  std::wstring_view formerName;  // empty: none
  std::wstring_view target;
};

}  // namespace

std::int64_t ReadMaxLogFileSize() {
  RegistryKey key(false);
  if (key.Open(platform::kHKeyLocalMachine, kProductKey) != kErrorSuccess) return kMinLogFileSize;
  // Data of any type and up to four bytes lands on the low bytes of the
  // preset number, so one byte 05 gives 0x1405 KiB.
  std::array<std::uint8_t, 4> bytes{};
  auto preset = [&bytes] {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<std::uint8_t>(kDefaultLogFileSizeKiB >> (8 * i));
    }
  };
  preset();
  std::uint32_t size = static_cast<std::uint32_t>(bytes.size());
  // Longer data leaves the buffer undefined on Windows: keep the default.
  if (platform::RegistryQueryValue(key.Handle(), L"MaxLogFileSize", nullptr, bytes.data(), &size) == kErrorMoreData) {
    preset();
  }
  std::uint32_t kib = platform::LoadLittleEndian32(bytes.data());
  return std::clamp(static_cast<std::int64_t>(kib) * 1024, kMinLogFileSize, kMaxLogFileSize);
}

std::int64_t MaxLogFileSize() { return maxLogFileSize.load(std::memory_order_relaxed); }

LogFileInfo::LogFileInfo(std::wstring_view baseName) : lastCheck(SteadyNow()), name(baseName) {
  if (maxLogFileSize.load(std::memory_order_relaxed) == 0) {
    maxLogFileSize.store(ReadMaxLogFileSize(), std::memory_order_relaxed);
  }
}

void LogFileInfo::BuildPath() {
  path = platform::JoinPath(GetDataFolder(), name);
  path += kLogSuffix;
}

void LogFileInfo::Open() {
  if (path.empty()) BuildPath();
  int opening = -1;
  std::wstring refusal;
  int error = platform::OpenFile(&opening, path, kOpenFlags, platform::kShDenyWr, kOpenPermission, &refusal);
  bool success = error == 0 && opening != -1;
  // A file that another account could have planted (a link, a FIFO, a file
  // of theirs) is refused, and the report says why.
  if (!success) DiagnosticError(0, L"Open failed for file {} - {}", path, refusal.empty() ? ErrnoText(error) : refusal);
  std::lock_guard guard(descriptorLock);
  descriptor = success ? opening : -1;
  state = success ? FileState::Open : FileState::OpenFailed;
  // What another program appended, or a killed predecessor's torn line,
  // may end without a line end.
  lineMayBeOpen = success;
}

void LogFileInfo::EndLastLineIfOpen() {
  if (!lineMayBeOpen || state != FileState::Open) return;
  int error = 0;
  // When the line end cannot be written now, the next write tries again.
  lineMayBeOpen = platform::EndLastLine(descriptor, path, &error) == -1;
}

void LogFileInfo::Write(std::string_view utf8Line) {
  std::lock_guard guard(lock);
  WriteOne(utf8Line);
}

void LogFileInfo::WriteLines(std::span<const std::string_view> utf8Lines) {
  std::lock_guard guard(lock);
  std::size_t next = 0;
  while (next < utf8Lines.size()) {
    if (state == FileState::Closed) Open();
    EndLastLineIfOpen();
    // One write up to the line after which the size check is due, so that
    // the check (and a rotation) comes after the same line as without
    // batching.
    std::size_t end = next + std::min<std::size_t>(utf8Lines.size() - next, WritesUntilSizeCheck());
    int error = platform::kErrnoEbadf;
    std::size_t written = 0;
    if (state == FileState::Open)
      written = platform::WriteUtf8CrLfLines(descriptor, utf8Lines.subspan(next, end - next), &error);
    if (next + written == end) {
      CountWrites(end - next);
      next = end;
      continue;
    }
    // The line the write stopped in is lost like a single failed write; the
    // lines after it are tried one by one, each failing (and reported) or
    // going in on its own.
    ReportWriteFailure(error);
    CountWrites(written + 1);
    for (next += written + 1; next < end; ++next) WriteOne(utf8Lines[next]);
  }
}

void LogFileInfo::WriteOne(std::string_view utf8Line) {
  if (state == FileState::Closed) Open();
  EndLastLineIfOpen();
  int error = platform::kErrnoEbadf;
  int result = -1;
  if (state == FileState::Open) result = platform::WriteUtf8CrLfText(descriptor, utf8Line, &error);
  if (result == -1) ReportWriteFailure(error);
  CountWrites(1);
}

void LogFileInfo::ReportWriteFailure(int error) {
  // A part of the line that could not be cut back may be left in the file.
  lineMayBeOpen = state == FileState::Open;
  DiagnosticError(0, L"Write failed for file {}{} - {} - {}", name, kLogSuffix, descriptor, ErrnoText(error));
}

std::size_t LogFileInfo::WritesUntilSizeCheck() const {
  if (sizeCheckDue) return 1;
  std::int64_t elapsedMs = (SteadyNow() - lastCheck) / 1'000'000;
  std::size_t byCount = kWritesPerSizeCheck - std::min(writesSinceCheck, kWritesPerSizeCheck - 1);
  if (elapsedMs <= kSizeCheckIntervalMs) return byCount;
  return std::min<std::size_t>(byCount, writesSinceCheck >= 1 ? 1 : 2);
}

void LogFileInfo::CountWrites(std::size_t count) {
  writesSinceCheck += static_cast<std::uint32_t>(count);
  std::int64_t now = SteadyNow();
  std::int64_t elapsedMs = (now - lastCheck) / 1'000'000;
  if (sizeCheckDue || writesSinceCheck >= kWritesPerSizeCheck ||
      (elapsedMs > kSizeCheckIntervalMs && writesSinceCheck > 1)) {
    sizeCheckDue = false;
    writesSinceCheck = 0;
    lastCheck = now;
    CycleBigFiles(*this);
  }
}

void LogFileInfo::Close() {
  {
    std::lock_guard guard(descriptorLock);
    if (state == FileState::Open) {
      int error = 0;
      // Nothing is left to do about a failed close: the descriptor is gone.
      (void)platform::CloseFile(descriptor, &error);
    }
    descriptor = -1;
    state = FileState::Closed;
  }
  writesSinceCheck = 0;
  lastCheck = SteadyNow();
}

bool LogFileInfo::CloseIfOpened() {
  std::lock_guard guard(lock);
  if (state == FileState::Closed) return false;
  Close();
  sizeCheckDue = true;
  return true;
}

bool LogFileInfo::ResetIfOpened() {
  std::lock_guard guard(lock);
  if (state == FileState::Closed) return false;
  Close();
  DeleteLog();
  // A file that could not be deleted is appended to again.
  sizeCheckDue = true;
  return true;
}

void LogFileInfo::Commit() {
  std::lock_guard guard(descriptorLock);
  if (state == FileState::Open) {
    int error = 0;
    // A failed flush leaves the lines in the system's cache, where the next
    // flush finds them again.
    (void)platform::CommitFile(descriptor, &error);
  }
}

void LogFileInfo::SetCommitter(FileCommitter* newCommitter) {
  std::lock_guard guard(lock);
  committer = newCommitter;
}

LogFileInfo::FileState LogFileInfo::State() {
  std::lock_guard guard(descriptorLock);
  return state;
}

void LogFileInfo::DeleteLog() {
  BuildPath();
  Win32Error error = platform::DeletePath(path);
  if (error != kErrorSuccess) DiagnosticError(error, L"ResetLogs: Error deleting file {}", path);
}

bool CycleBigFiles(LogFileInfo& record) {
  std::int64_t size = 0;
  if (record.state == LogFileInfo::FileState::Open) {
    // In append mode the position is the end of the file, flushed or not.
    int error = 0;
    size = platform::TellFile(record.descriptor, &error);
    // A file that stays open is flushed on the committer's thread. One that
    // is about to be closed and renamed is flushed here: a flush requested
    // now would find it closed (and on Windows an open handle would keep
    // the rename from happening). That is the writer's only wait for the
    // device, once per size limit written.
    if (size <= MaxLogFileSize() && record.committer != nullptr) {
      record.committer->Request(&record);
    } else {
      record.Commit();
    }
  }
  if (size <= MaxLogFileSize()) return false;
  if (record.state != LogFileInfo::FileState::Closed) record.Close();

  std::wstring folder = GetDataFolder();
  auto pathOf = [&folder, &record](std::wstring_view suffix) {
    return platform::JoinPath(folder, record.name + std::wstring(suffix));
  };
  // A generation whose existence cannot be told (access denied to the
  // folder, say) ends the rotation of this file: moving blindly could lose a
  // backup. The record stays closed; the next line reopens the current file.
  auto probe = [](const std::wstring& path, Presence* presence) {
    Win32Error error = 0;
    *presence = Probe(path, &error);
    if (*presence == Presence::Unknown) DiagnosticError(error, L"CycleBigFiles: Error checking file {}", path);
    return *presence != Presence::Unknown;
  };

  Presence presence = Presence::Absent;
  std::wstring oldest = pathOf(L"_oldest.log");
  if (!probe(oldest, &presence)) return false;
  if (presence == Presence::Present) {
    Win32Error error = platform::DeletePath(oldest);
    if (error != kErrorSuccess) DiagnosticError(error, L"CycleBigFiles: Error deleting file {}", oldest);
  }

  constexpr std::array<ShiftStep, 3> kSteps{{
      {L"_older.log", L".log.2", L"_oldest.log"},
      {L"_old.log", L".log.1", L"_older.log"},
      {L".log", L"", L"_old.log"},
  }};
  for (const ShiftStep& step : kSteps) {
    std::wstring source = pathOf(step.source);
    if (!probe(source, &presence)) return false;
    if (presence == Presence::Absent && !step.formerName.empty()) {
      source = pathOf(step.formerName);
      if (!probe(source, &presence)) return false;
    }
    bool sourcePresent = presence == Presence::Present;
    std::wstring target = pathOf(step.target);
    if (!probe(target, &presence)) return false;
    if (presence == Presence::Present) {
      Win32Error error = platform::DeletePath(target);
      if (error != kErrorSuccess) DiagnosticError(error, L"CycleBigFiles: Error deleting file new name {}", target);
    }
    if (sourcePresent) {
      Win32Error error = platform::MovePath(source, target);
      if (error != kErrorSuccess) {
        DiagnosticError(error, L"CycleBigFiles: Error renaming current file {} to old file {}", source, target);
      }
    }
  }
  return true;
}

}  // namespace wl
