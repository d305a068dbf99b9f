#include "platform/replace_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/posix/checked_open.h"
#include "platform/posix/errors.h"
#include "platform/text.h"

namespace wl::platform {
namespace {

Win32Error Fail(const posix::CheckedOpen& open, std::wstring* refusal) {
  if (refusal != nullptr) *refusal = WideFromUtf8(open.refusal);
  return posix::Win32FromErrno(open.error);
}

}  // namespace

Win32Error ReplaceFileContents(std::wstring_view path, std::string_view bytes, std::wstring* refusal) {
  if (refusal != nullptr) refusal->clear();
  std::string target = Utf8FromWide(path);
  std::string folderPath = posix::FolderOf(target);
  std::string name = posix::NameOf(target);
  posix::CheckedOpen folder = posix::OpenFolder(folderPath);
  if (!folder.Ok()) return Fail(folder, refusal);
  int directory = folder.descriptor.Get();
  std::string temporary = name + ".tmp" + std::to_string(getpid());
  unlinkat(directory, temporary.c_str(), 0);
  posix::CheckedOpen file = posix::OpenIn(directory, folderPath, temporary, O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (!file.Ok()) return Fail(file, refusal);
  int error = posix::WriteAll(file.descriptor.Get(), bytes);
  if (int closed = file.descriptor.Close(); error == 0) error = closed;
  if (error == 0 && renameat(directory, temporary.c_str(), directory, name.c_str()) != 0) error = errno;
  if (error != 0) {
    unlinkat(directory, temporary.c_str(), 0);
    return posix::Win32FromErrno(error);
  }
  return kErrorSuccess;
}

Win32Error ReadFileContents(std::wstring_view path, std::string* bytes, std::wstring* refusal) {
  if (refusal != nullptr) refusal->clear();
  posix::CheckedOpen file = posix::OpenChecked(Utf8FromWide(path), O_RDONLY, 0);
  if (!file.Ok()) return Fail(file, refusal);
  bytes->clear();
  if (int error = posix::ReadAll(file.descriptor.Get(), bytes); error != 0) return posix::Win32FromErrno(error);
  return kErrorSuccess;
}

Win32Error ReadFileParts(std::wstring_view path, std::size_t headSize, std::uint64_t from, std::string* head,
                         std::string* rest, std::uint64_t* size, std::wstring* refusal) {
  if (refusal != nullptr) refusal->clear();
  posix::CheckedOpen file = posix::OpenChecked(Utf8FromWide(path), O_RDONLY, 0);
  if (!file.Ok()) return Fail(file, refusal);
  int descriptor = file.descriptor.Get();
  struct stat info {};
  if (fstat(descriptor, &info) != 0) return posix::Win32FromErrno(errno);
  *size = static_cast<std::uint64_t>(info.st_size);
  auto readAt = [descriptor](std::string* out, std::size_t length, off_t offset) {
    out->resize(length);
    std::size_t done = 0;
    while (done < length) {
      ssize_t got = pread(descriptor, out->data() + done, length - done, offset + static_cast<off_t>(done));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return errno;
      if (got == 0) break;
      done += static_cast<std::size_t>(got);
    }
    out->resize(done);
    return 0;
  };
  if (int error = readAt(head, static_cast<std::size_t>(std::min<std::uint64_t>(headSize, *size)), 0)) {
    return posix::Win32FromErrno(error);
  }
  rest->clear();
  if (from < *size) {
    if (int error = readAt(rest, static_cast<std::size_t>(*size - from), static_cast<off_t>(from))) {
      return posix::Win32FromErrno(error);
    }
  }
  return kErrorSuccess;
}

}  // namespace wl::platform
