// One component log file of the service: its record (open state, write
// count, time of the last size check, base name and path), the three file
// operations, the size check with its rotation through the backup
// generations, and the deletion used by a reset.
//
// Only the writer thread of a TraceLogManager opens, writes and rotates a
// record; a reset on a caller's thread closes and deletes it. The record
// keeps the two apart itself: each of its methods takes the locks it needs.
// Failures are reported as diagnostic lines, never to the caller.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

namespace wl {

class FileCommitter;

// The byte counts that bound the size limit, and its default in KiB.
inline constexpr std::int64_t kMinLogFileSize = 102400;
inline constexpr std::int64_t kMaxLogFileSize = 20971520;
inline constexpr std::uint32_t kDefaultLogFileSizeKiB = 5120;

// Writes since the last size check after which a check is due, and the time
// after which a check is due as soon as a file has had more than one write.
inline constexpr std::uint32_t kWritesPerSizeCheck = 500;
inline constexpr std::int64_t kSizeCheckIntervalMs = 5000;

// Reads HKLM\Software\Kestrix\Wayline\MaxLogFileSize (KiB) and returns the
// limit in bytes, bounded to [102400, 20971520]: 5242880 without the value,
// 102400 when the key cannot be opened. Reports nothing.
std::int64_t ReadMaxLogFileSize();

// The process-wide limit: read by the creation of the first record and kept
// for the life of the process; 0 before that.
std::int64_t MaxLogFileSize();

class LogFileInfo {
 public:
  // Where a record's file stands: closed (also after creation), open, or
  // opened without success (the open failed; every write fails until the
  // record is closed).
  enum class FileState { Closed, Open, OpenFailed };

  // A closed record for the file `baseName`.log in the data folder; reads
  // the size limit if no record has done so yet. Touches no file.
  explicit LogFileInfo(std::wstring_view baseName);
  LogFileInfo(const LogFileInfo&) = delete;
  LogFileInfo& operator=(const LogFileInfo&) = delete;

  // Appends one finished line with one write, opening the file first when
  // it is closed. The line is valid UTF-8 in its on-disk form, each line
  // feed after a carriage return (see platform::WriteUtf8CrLfText). A failed
  // open or write is reported and the line is lost. Then runs the size
  // check (CycleBigFiles) when 500 writes have gathered, or more than
  // 5000 ms have passed with more than one write, and at the first write
  // after the record's first open and after each reset, so that a file left
  // over the limit by an earlier process is rotated at once. Writer thread.
  void Write(std::string_view utf8Line);

  // Appends the lines in order, as many per write as the size checks allow
  // (see platform::WriteUtf8CrLfLines): the bytes on disk, the size checks
  // and rotations, and the report of each lost line are those of one Write
  // per line. Writer thread.
  void WriteLines(std::span<const std::string_view> utf8Lines);

  // Closes the file when the record was opened (also without success) and
  // returns the record to its state after creation, keeping name and path.
  // Returns whether it was opened. Any thread; waits for a write in progress.
  bool CloseIfOpened();

  // The reset of one record: when it was opened, closes the file and
  // deletes it (the path built again); a failed delete is reported as
  // "ResetLogs: Error deleting file {}". Returns whether it was opened. Any
  // thread; never overlaps a write to the record.
  bool ResetIfOpened();

  // Flushes the open file's data to the disk (nothing when it is not open).
  // Safe against a concurrent close: the committer's thread calls it.
  void Commit();

  // Where the size check sends its flush; null: the check flushes itself.
  // The committer must outlive its use here. Any thread.
  void SetCommitter(FileCommitter* committer);

  FileState State();
  // The base name ("Tunnel"), fixed at creation.
  [[nodiscard]] const std::wstring& Name() const { return name; }

 private:
  friend bool CycleBigFiles(LogFileInfo& record);

  // Sets `path` to the data folder joined with `name` and ".log".
  void BuildPath();
  // Opens `path` (building it first when empty) for appending UTF-8 text,
  // denying others write access. A failure is reported and leaves the
  // record in OpenFailed.
  void Open();
  // Before a write: when the file may end in part of a line (just opened,
  // or after a failed write), ends that line (platform::EndLastLine), so
  // that the next line starts whole. Bytes already in the file are kept.
  void EndLastLineIfOpen();
  // Write, WriteLines and their parts, with `lock` held.
  void WriteOne(std::string_view utf8Line);
  void ReportWriteFailure(int error);
  // How many writes may come before the size check is due; at least 1.
  [[nodiscard]] std::size_t WritesUntilSizeCheck() const;
  // Counts writes (failed ones too) and runs the size check when it is due.
  void CountWrites(std::size_t count);
  // Close and DeleteLog with `lock` held.
  void Close();
  void DeleteLog();

  // Serialises a write (with its size check and rotation) against a reset
  // or close from another thread.
  std::mutex lock;
  // Held while `state` and `descriptor` change and while a flush uses the
  // descriptor, so that a flush on another thread never meets a closed one.
  std::mutex descriptorLock;
  FileState state = FileState::Closed;
  // The open file; meaningful only in state Open.
  int descriptor = -1;
  // Writes since the last size check or close.
  std::uint32_t writesSinceCheck = 0;
  // Steady-clock time of the last size check, close or creation.
  std::int64_t lastCheck = 0;
  const std::wstring name;
  // The full path of the current file; empty until first built.
  std::wstring path;
  FileCommitter* committer = nullptr;
  // The file may end in part of a line; see EndLastLineIfOpen.
  bool lineMayBeOpen = false;
  // The next write runs the size check whatever the count and time say.
  bool sizeCheckDue = true;
};

// The size check of a record: flushes the open file (through the record's
// committer when it has one) and takes its size from the file position. A
// file over MaxLogFileSize is closed and shifted into
// the backups (B.log -> B_old.log -> B_older.log -> B_oldest.log, the oldest
// deleted; the former names B.log.1 and B.log.2 stand in for missing
// backups). Returns true when the generations were shifted. Failures are
// reported and never stop the rotation. Runs inside LogFileInfo::Write,
// with the record's lock held.
bool CycleBigFiles(LogFileInfo& record);

}  // namespace wl
