// The C runtime's low-level file I/O (_wsopen_s, _write, _close, _commit,
// _telli64) with its flag values and its Unicode text modes. Descriptors are
// the runtime's small integers; error numbers are the runtime's errno values
// as Windows numbers them (see kErrno* below).
//
// In _O_U8TEXT mode a write takes wide text, converts it to UTF-8 and writes
// every line feed as CR LF, all in one system write. An open for writing of
// a file that is empty writes the UTF-8 byte-order mark first; an existing
// file that starts with FF FE is continued in UTF-16LE instead.
//
// Sharing: an open with _SH_DENYWR makes every other open for writing of the
// same file fail with EACCES (the DOS error behind it is 32) while it is held.
// A file held open by this layer cannot be moved or deleted by MovePath or
// DeletePath (error 32), since opens never grant delete sharing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace wl::platform {

inline constexpr int kORdonly = 0x0000;
inline constexpr int kOWronly = 0x0001;
inline constexpr int kORdwr = 0x0002;
inline constexpr int kOAppend = 0x0008;
inline constexpr int kOCreat = 0x0100;
inline constexpr int kOTrunc = 0x0200;
inline constexpr int kOExcl = 0x0400;
inline constexpr int kOText = 0x4000;
inline constexpr int kOBinary = 0x8000;
inline constexpr int kOWText = 0x10000;
inline constexpr int kOU16Text = 0x20000;
inline constexpr int kOU8Text = 0x40000;

inline constexpr int kShDenyRw = 0x10;
inline constexpr int kShDenyWr = 0x20;
inline constexpr int kShDenyRd = 0x30;
inline constexpr int kShDenyNo = 0x40;

inline constexpr int kSIRead = 0x0100;
inline constexpr int kSIWrite = 0x0080;

// errno values as the Windows runtime numbers them.
inline constexpr int kErrnoEperm = 1;
inline constexpr int kErrnoEnoent = 2;
inline constexpr int kErrnoEio = 5;
inline constexpr int kErrnoEbadf = 9;
inline constexpr int kErrnoEnomem = 12;
inline constexpr int kErrnoEacces = 13;
inline constexpr int kErrnoEexist = 17;
inline constexpr int kErrnoEnotdir = 20;
inline constexpr int kErrnoEisdir = 21;
inline constexpr int kErrnoEinval = 22;
inline constexpr int kErrnoEnfile = 23;
inline constexpr int kErrnoEmfile = 24;
inline constexpr int kErrnoEfbig = 27;
inline constexpr int kErrnoEnospc = 28;
inline constexpr int kErrnoErofs = 30;
inline constexpr int kErrnoEnametoolong = 38;

// _wsopen_s. Returns 0 and stores the descriptor, or returns the errno value
// and stores -1. A file that the open creates may be written by its owner
// only (permission kSIWrite) and read by everyone. On Linux the open is
// checked as every open of the layer is (platform/posix/checked_open.h): no
// symbolic link followed, nothing but a regular file opened, no file or
// folder of another ordinary user accepted, a single link for writing; a
// refused open fails with EACCES and *refusal (when given) says why, as in
// "refused: it is a symbolic link". Otherwise *refusal is left empty.
[[nodiscard]] int OpenFile(int* descriptor, std::wstring_view path, int openFlag, int shareFlag, int permission,
                           std::wstring* refusal = nullptr);

// _write of wide text (byte count = characters x sizeof UTF-16 unit in the
// runtime's terms). Returns the number of bytes taken (2 per UTF-16 unit) or
// -1 with the errno value in *error (EBADF for a descriptor that is not open
// for writing). Descriptors opened in _O_TEXT or _O_BINARY mode get the text
// in the ANSI code page, with CR LF line ends in _O_TEXT mode.
[[nodiscard]] int WriteText(int descriptor, std::wstring_view text, int* error);

// The same for text that is already UTF-8 (the compact form of a finished
// line): the bytes on disk are identical to WriteText of the same characters.
[[nodiscard]] int WriteUtf8Text(int descriptor, std::string_view utf8, int* error);

// The writer's road for a finished line: valid UTF-8 already in the form it
// takes in a UTF-8 file, each line feed after its carriage return. A file in
// UTF-8 text mode gets the bytes as they are with one system write, no
// conversion or copy; a file in any other mode (a UTF-16LE file continued,
// say) gets exactly what WriteText of WideFromUtf8CrLf(text) gives. Returns 0
// or -1 with the errno value in *error.
[[nodiscard]] int WriteUtf8CrLfText(int descriptor, std::string_view utf8CrLf, int* error);

// The same for several finished lines, in order, handed to the system with as
// few writes as it allows: one vectored write on Linux for a file in UTF-8
// text mode (the bytes on disk are those of one WriteUtf8CrLfText per line).
// Returns how many lines reached the file whole. When that is fewer than
// given, *error holds the errno value, and the line at that index is not in
// the file: a part of it that went in is cut back as a single write's is
// (the lines after it were not written).
[[nodiscard]] std::size_t WriteUtf8CrLfLines(int descriptor, std::span<const std::string_view> lines, int* error);

// Ends the last line of a file open for appending text when it lacks its
// line end (another program appended part of a line, say): when the file
// holds text after its byte-order mark and the last character is not a line
// feed, writes a line feed as the descriptor's mode writes it (CR LF, in
// UTF-16LE for a file continued in it), so that the next write begins a line
// of its own. Nothing already in the file changes. `path` names the file, for
// systems whose descriptor cannot read it. Returns 1 when it ended the line;
// 0 when that was not needed or the file's end cannot be read; -1 with the
// errno value in *error when the write failed.
[[nodiscard]] int EndLastLine(int descriptor, std::wstring_view path, int* error);

// The portable half of EndLastLine: whether a file of `size` bytes that
// begins with `head` (its first bytes, up to 3) and ends with `tail` (its
// last bytes, up to 2) holds text whose last character is not a line feed;
// utf16: the file is written in UTF-16LE.
bool LastLineIsOpen(std::string_view head, std::string_view tail, std::uint64_t size, bool utf16);

// _close. Returns 0 or -1 with *error set.
[[nodiscard]] int CloseFile(int descriptor, int* error);

// _commit: flushes the file's data to the disk. Returns 0 or -1.
[[nodiscard]] int CommitFile(int descriptor, int* error);

// How many CommitFile calls have flushed a file in this process so far.
std::uint64_t CommittedFileCount();

// _telli64: the current position. Returns -1 on failure.
std::int64_t TellFile(int descriptor, int* error);

// Sets a limit on the size of files this process (and the children it starts
// afterwards) writes: a write past it fails with EFBIG instead of ending the
// process. A negative size removes the limit. Returns false where the system
// has no such limit; used by tests that need a failing write.
bool SetFileSizeLimit(std::int64_t bytes);

}  // namespace wl::platform
