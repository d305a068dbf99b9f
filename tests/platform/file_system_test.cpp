#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/text_file.h"
#include "tests/support/test_support.h"

namespace wl::platform {
namespace {

using test::Bytes;
using test::ReadFileBytes;
using test::TempFolder;

Win32Error AttributesOf(const std::filesystem::path& path, std::uint32_t* attributes) {
  auto found = GetPathAttributes(path.wstring());
  *attributes = found.ValueOr(0);
  return found.ErrorCode();
}

Win32Error Move(const std::filesystem::path& from, const std::filesystem::path& to) {
  return MovePath(from.wstring(), to.wstring());
}

TEST(PlatformFileSystem, AttributesAndNotFoundCodes) {
  TempFolder folder;
  auto file = folder.Path() / L"file.txt";
  test::WriteFileBytes(file, {'x'});
  std::uint32_t attributes = 0;
  ASSERT_EQ(0u, AttributesOf(folder.Path(), &attributes));
  EXPECT_NE(0u, attributes & kFileAttributeDirectory);
  ASSERT_EQ(0u, AttributesOf(file, &attributes));
  EXPECT_EQ(0u, attributes & (kFileAttributeDirectory | kFileAttributeReadonly));
  std::filesystem::permissions(file, std::filesystem::perms::owner_write, std::filesystem::perm_options::remove);
  ASSERT_EQ(0u, AttributesOf(file, &attributes));
  EXPECT_NE(0u, attributes & kFileAttributeReadonly);
  EXPECT_EQ(kErrorAccessDenied, DeletePath(file.wstring()));
  std::filesystem::permissions(file, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);

  EXPECT_EQ(kErrorFileNotFound, AttributesOf(folder.Path() / L"missing", &attributes));
  EXPECT_EQ(kErrorPathNotFound, AttributesOf(folder.Path() / L"missing" / L"file", &attributes));
  for (Win32Error code : {2u, 3u, 53u, 64u, 123u, 267u}) EXPECT_TRUE(IsNotFoundError(code)) << code;
  for (Win32Error code : {0u, 5u, 32u, 183u}) EXPECT_FALSE(IsNotFoundError(code)) << code;
}

TEST(PlatformFileSystem, MoveNeverReplacesItsTargetDeleteAndMakeDirectory) {
  TempFolder folder;
  auto from = folder.Path() / L"from.log", to = folder.Path() / L"to.log", moved = folder.Path() / L"moved.log";
  auto sub = folder.Path() / L"sub", missing = folder.Path() / L"no";
  test::WriteFileBytes(from, {'a'});
  test::WriteFileBytes(to, {'b'});
  EXPECT_EQ(kErrorAlreadyExists, Move(from, to));
  EXPECT_EQ(Bytes{'a'}, ReadFileBytes(from));
  EXPECT_EQ(Bytes{'b'}, ReadFileBytes(to));
  EXPECT_EQ(kErrorSuccess, Move(from, moved));
  EXPECT_EQ(Bytes{'a'}, ReadFileBytes(moved));
  EXPECT_EQ(kErrorFileNotFound, Move(from, folder.Path() / L"again.log"));
  EXPECT_EQ(kErrorPathNotFound, Move(missing / L"from.log", folder.Path() / L"x.log"));
  EXPECT_EQ(kErrorPathNotFound, Move(moved, missing / L"to.log"));

  EXPECT_EQ(kErrorSuccess, DeletePath(moved.wstring()));
  EXPECT_EQ(kErrorFileNotFound, DeletePath(moved.wstring()));
  EXPECT_EQ(kErrorPathNotFound, DeletePath((missing / L"file").wstring()));
  EXPECT_EQ(kErrorSuccess, MakeDirectory(sub.wstring()));
  EXPECT_EQ(kErrorAlreadyExists, MakeDirectory(sub.wstring()));
  EXPECT_EQ(kErrorPathNotFound, MakeDirectory((missing / L"sub").wstring()));
  EXPECT_EQ(kErrorAccessDenied, DeletePath(sub.wstring()));
}

TEST(PlatformFileSystem, JoinPath) {
  std::wstring separator(1, kPathSeparator);
  EXPECT_EQ(L"a" + separator + L"b", JoinPath(L"a", L"b"));
  EXPECT_EQ(L"a" + separator + L"b", JoinPath(L"a" + separator, L"b"));
  EXPECT_EQ(L"a/b", JoinPath(L"a/", L"b"));
  EXPECT_EQ(L"b", JoinPath(L"", L"b"));
}

// Opens and closes again; returns the open's error number.
int TryOpen(const std::filesystem::path& path, int openFlag, int shareFlag) {
  int descriptor = -1;
  int result = OpenFile(&descriptor, path.wstring(), openFlag, shareFlag, kSIRead | kSIWrite);
  int error = 0;
  if (result == 0) (void)CloseFile(descriptor, &error);
  return result;
}

// The log service holds its files this way while another program tries to
// write, move or delete them.
TEST(PlatformFileSystem, SharingBetweenProcesses) {
  TempFolder folder;
  auto path = folder.Path() / L"held.log";
  auto moved = folder.Path() / L"moved.log";
  auto ready = folder.Path() / L"ready";
  auto release = folder.Path() / L"release";
  constexpr int kAppendUtf8 = kOWronly | kOAppend | kOU8Text;
  auto child = test::StartChild({L"hold-file", path.wstring(), ready.wstring(), release.wstring()});
  ASSERT_NE(nullptr, child);
  bool childReady = test::WaitForPath(ready);
  if (childReady) {
    EXPECT_EQ(kErrnoEacces, TryOpen(path, kAppendUtf8, kShDenyNo));
    EXPECT_EQ(0, TryOpen(path, kORdonly, kShDenyNo));
    EXPECT_EQ(kErrorSharingViolation, Move(path, moved));
    EXPECT_EQ(kErrorSharingViolation, DeletePath(path.wstring()));
  }
  test::WriteFileBytes(release, {});
  EXPECT_EQ(0, child->Wait());
  ASSERT_TRUE(childReady);
  EXPECT_EQ(0, TryOpen(path, kAppendUtf8, kShDenyWr));
  EXPECT_EQ(kErrorSuccess, Move(path, moved));
  EXPECT_EQ((Bytes{0xEF, 0xBB, 0xBF, 'h', 'e', 'l', 'd', '\r', '\n'}), ReadFileBytes(moved));
}

}  // namespace
}  // namespace wl::platform
