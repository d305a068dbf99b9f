#include "logclient/file_logger.h"

#include <exception>
#include <utility>

#include "diagnostics/clock.h"
#include "diagnostics/error_text.h"
#include "diagnostics/path_data.h"
#include "diagnostics/registry_key.h"
#include "diagnostics/singleton.h"
#include "logclient/log_output.h"
#include "platform/file_system.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/text_file.h"

namespace wl {
namespace {

constexpr std::wstring_view kFileMutexName = L"TesselFileLogger";

bool PathExists(const std::wstring& path) { return !path.empty() && platform::GetPathAttributes(path).HasValue(); }

std::wstring LastComponent(std::wstring_view path) {
  std::size_t cut = path.size();
  while (cut > 0 && !platform::IsPathSeparator(path[cut - 1])) --cut;
  return std::wstring(path.substr(cut));
}

// The name without its extension; a leading dot does not start an extension.
std::wstring WithoutExtension(const std::wstring& name) {
  std::size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos || dot == 0 ? name : name.substr(0, dot);
}

bool ReadFileOutputSetting() {
  RegistryKey key(false);
  std::uint32_t value = 0;
  if (key.Open(platform::kHKeyLocalMachine, kCurrentInstallKey) == kErrorSuccess)
    (void)key.ReadDword(L"FileOutput", value);
  return value != 0;
}

// Holds the cross-process file mutex, when there is one, for one line.
class FileMutexGuard {
 public:
  explicit FileMutexGuard(platform::NamedMutex* mutex) : mutex_(mutex) {
    if (mutex_ != nullptr) mutex_->Lock();
  }
  ~FileMutexGuard() {
    if (mutex_ != nullptr) mutex_->Unlock();
  }
  FileMutexGuard(const FileMutexGuard&) = delete;
  FileMutexGuard& operator=(const FileMutexGuard&) = delete;

 private:
  platform::NamedMutex* mutex_;
};

std::shared_ptr<FileLogger> Instance() {
  return Singleton<FileLogger>::GetInstance([] { return new FileLogger(); });
}

}  // namespace

FileLogger::FileLogger() {
  Win32Error error = kErrorSuccess;
  fileMutex_ = platform::CreateNamedMutex(kFileMutexName, &error);
  if (!fileMutex_) {
    // Lines are then written without serialisation between processes.
    WriteDebugMessage(SafeFormat(error, L"LoggerBase::LoggerBase() OpenMutex"));
  }
  // The system account writes into the data folder; any other user's
  // process into the user's own, since the data folder is not theirs.
  folder_ = GetOwnFilesFolder();
  moduleName_ = LastComponent(GetModulePath());
  fileOutput_.store(ReadFileOutputSetting());
}

FileLogger::~FileLogger() {
  if (started_) Enqueue(Format(L"End Log - {}\n", moduleName_));
  writer_.Stop();
  started_ = false;
  fileMutex_.reset();
}

void FileLogger::Log(std::wstring_view line) {
  // Threads that queue their first lines together wait here until the begin
  // marker is queued, so it stays the first line of the run.
  std::call_once(startOnce_, [this] { Start(); });
  Enqueue(std::wstring(line));
}

void FileLogger::Enqueue(std::wstring line) {
  writer_.Post([&line](std::deque<std::wstring>& queue) { queue.push_back(std::move(line)); });
}

void FileLogger::Start() {
  started_ = true;
  if (baseName_.empty()) baseName_ = WithoutExtension(moduleName_);
  CheckDay(false);
  try {
    writer_.Start();
  } catch (const std::exception& exception) {
    // Lines keep collecting in the queue; no later call tries again.
    WriteDebugMessage(SafeFormat(platform::GetLastSystemError(), L"Unable to create FileLogger thread '{}'",
                                 platform::WideFromAnsi(exception.what())));
  }
}

void FileLogger::CheckDay(bool inWriter) {
  LocalTime now = LocalNow();
  // Only the day of the month is compared, as the file name changes daily.
  if (now.day == day_) return;
  day_ = now.day;
  std::wstring previous = std::exchange(filePath_, platform::JoinPath(folder_, baseName_) +
                                                       Format(L"_{:04}-{:02}-{:02}.log", now.year, now.month, now.day));

  std::wstring beginMarker = Format(L"Begin Log - {}\n", moduleName_);
  if (!inWriter) {
    // First day check of the run, before the writer exists.
    if (PathExists(filePath_)) Enqueue(L"\n");
    Enqueue(std::move(beginMarker));
    return;
  }
  // The day changed while running: close the run in the previous day's file
  // and open it in the new one, ahead of the line being written.
  if (wroteCurrentFile_ && PathExists(previous)) AppendToFile(previous, Format(L"End Log - {}\n", moduleName_));
  wroteCurrentFile_ = false;
  if (PathExists(filePath_)) AppendToFile(filePath_, L"\n");
  if (AppendToFile(filePath_, beginMarker)) wroteCurrentFile_ = true;
}

void FileLogger::WriteLine(const std::wstring& line) {
  if (!fileOutput_.load()) return;
  FileMutexGuard guard(fileMutex_.get());
  if (IsDebugOutputEnabled()) SendToDebugOutput(line);
  CheckDay(true);
  if (AppendToFile(filePath_, line)) wroteCurrentFile_ = true;
}

bool FileLogger::AppendToFile(const std::wstring& path, std::wstring_view text) {
  int descriptor = -1;
  std::wstring refusal;
  int error = platform::OpenFile(
      &descriptor, path,
      platform::kOWronly | platform::kOAppend | platform::kOCreat | platform::kOText | platform::kOU8Text,
      platform::kShDenyWr, platform::kSIRead | platform::kSIWrite, &refusal);
  if (error != 0) {
    // The line is lost; the next line tries again.
    WriteDebugMessage(
        SafeFormat(L"Error opening log file: {} - {}", path, refusal.empty() ? ErrnoText(error) : refusal));
    return false;
  }
  int ignored = 0;
  (void)platform::WriteText(descriptor, text, &ignored);
  (void)platform::CloseFile(descriptor, &ignored);
  return true;
}

void FileLog(std::wstring_view line) {
  if (auto instance = Instance()) instance->Log(line);
}

void MakeFileLogger() { (void)Instance(); }

void SetFileOutput(bool on) {
  if (auto instance = Instance()) instance->SetFileOutput(on);
}

}  // namespace wl
