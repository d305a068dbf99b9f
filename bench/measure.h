// Facts and plain operations for the benchmarks (never used by the product):
// the process's peak memory, and an append-only file that takes each buffer
// with exactly one system write and no conversion, as the yardstick for the
// writer's rate. The benchmarks are built for Linux only, so only the POSIX
// layer implements these.
#pragma once

#include <cstdint>
#include <string_view>

namespace wl::bench {

// The peak resident memory of this process in bytes; -1 when unknown.
std::int64_t PeakResidentBytes();

// Starts a new peak at the current resident size; false when the system
// cannot.
bool ResetPeakResidentBytes();

// Opens (creating, truncating) a file for appending; -1 on failure.
int OpenRawAppendFile(std::wstring_view path);
// One system write of the bytes; false when it fails or writes less.
bool WriteRaw(int handle, std::string_view bytes);
void CloseRaw(int handle);
// Flushes the file's data (and the size needed to read it back) to the disk,
// as the log files' commit does; false when it fails.
bool FlushRaw(int handle);

}  // namespace wl::bench
