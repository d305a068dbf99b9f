// A seam through which tests make this layer's file operations fail: the
// writes of text files (WriteText, WriteUtf8Text, WriteUtf8CrLfText) and
// their flushes (CommitFile). A write can be made to fail part-way, after
// some of its bytes reached the file, as a full disk or a size limit does.
// Production code installs no source; without one an operation costs one
// atomic load here.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>

namespace wl::platform {

enum class FileOperation { Write, Commit };

struct FileFault {
  FileFault() = default;
  FileFault(int errorNumber, std::size_t bytesBefore, std::function<void()> afterPart = {})
      : errorNumber(errorNumber), bytesBefore(bytesBefore), afterPart(std::move(afterPart)) {}

  // The error number the operation fails with; 0: no fault. Use a number
  // below 34 (kErrnoEnospc, kErrnoEfbig, kErrnoEio, ...): there the Linux
  // and the Windows numbering agree.
  int errorNumber = 0;
  // Write: how much of the data handed to the system reaches the file
  // before the failure (bytes; in the Unicode text modes of the Windows
  // runtime its byte count, two per character).
  std::size_t bytesBefore = 0;
  // Write: runs once that part is in the file and before the layer handles
  // the failure, as another program appending at that moment would.
  std::function<void()> afterPart;
};

// Decides each operation from its kind and the size of its data. The
// installable hook of platform/testing/file_faults.h is one; production
// code installs none.
using FileFaultSource = FileFault (*)(FileOperation operation, std::size_t size);

// Installs the source for the whole process; null removes it. Any thread.
void SetFileFaultSource(FileFaultSource source);

// For the implementations of this layer: the fault for one operation, none
// when no source is installed.
FileFault NextFileFault(FileOperation operation, std::size_t size);

}  // namespace wl::platform
