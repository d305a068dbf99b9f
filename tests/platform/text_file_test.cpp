#include "platform/text_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/file_system.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace wl::platform {
namespace {

using test::ReadFileText;
using test::TempFolder;

// The log service's open: write-only, append, create, UTF-8 text.
constexpr int kAppendUtf8 = kOWronly | kOAppend | kOCreat | kOText | kOU8Text;

void Write(const std::filesystem::path& path, std::string_view text) {
  test::WriteFileBytes(path, {text.begin(), text.end()});
}

// A descriptor, or minus the open's error number.
int Open(const std::filesystem::path& path, int openFlag = kAppendUtf8, int shareFlag = kShDenyWr) {
  int descriptor = -1;
  int result = OpenFile(&descriptor, path.wstring(), openFlag, shareFlag, kSIRead | kSIWrite);
  return result == 0 ? descriptor : -result;
}

void Close(int descriptor) {
  int error = 0;
  EXPECT_EQ(0, CloseFile(descriptor, &error));
}

// A new or empty file gets the UTF-8 mark, a used one is continued without
// it after whatever another writer appended, one that starts with FF FE is
// continued in UTF-16LE; every line feed becomes CR LF.
TEST(PlatformTextFile, BytesOnDiskOfTextModeWrites) {
  TempFolder folder;
  auto created = folder.Path() / L"new.log", empty = folder.Path() / L"empty.log";
  auto used = folder.Path() / L"used.log", wide = folder.Path() / L"wide.log";
  Write(empty, "");
  Write(used, "old\r\n");
  test::WriteFileBytes(wide, {0xFF, 0xFE, 'A', 0});
  int error = 0;
  int descriptor = Open(created);
  ASSERT_GE(descriptor, 0);
  // 8 UTF-16 units: the emoji takes two. A CR already in the text stays.
  EXPECT_EQ(16, WriteText(descriptor, L"a\nb\r\n\u00e9\U0001F600", &error));
  EXPECT_EQ(6, WriteUtf8Text(descriptor, "z\n\n", &error));
  // A finished line goes out as it is.
  EXPECT_EQ(0, WriteUtf8CrLfText(descriptor, "c\r\r\n\r\n", &error));
  Close(descriptor);
  EXPECT_EQ(
      "\xEF\xBB\xBF"
      "a\r\nb\r\r\n\xC3\xA9\xF0\x9F\x98\x80"
      "z\r\n\r\n"
      "c\r\r\n\r\n",
      ReadFileText(created));

  int first = Open(empty, kOWronly | kOAppend | kOU8Text, kShDenyNo);
  int second = Open(empty, kOWronly | kOAppend | kOU8Text, kShDenyNo);
  int third = Open(used, kOWronly | kOAppend | kOU8Text);
  ASSERT_TRUE(first >= 0 && second >= 0 && third >= 0);
  EXPECT_NE(WriteText(first, L"one\n", &error), -1);
  EXPECT_NE(WriteText(second, L"two\n", &error), -1);
  EXPECT_NE(WriteUtf8Text(first, "three\n", &error), -1);
  EXPECT_EQ(4, WriteText(third, L"x\n", &error));
  EXPECT_EQ(20, TellFile(first, &error));
  EXPECT_EQ(0, CommitFile(first, &error));
  for (int open : {first, second, third}) Close(open);
  EXPECT_EQ("\xEF\xBB\xBFone\r\ntwo\r\nthree\r\n", ReadFileText(empty));
  EXPECT_EQ("old\r\nx\r\n", ReadFileText(used));

  descriptor = Open(wide);
  ASSERT_GE(descriptor, 0);
  EXPECT_EQ(4, WriteText(descriptor, L"\u00e9\n", &error));
  EXPECT_EQ(6, WriteUtf8Text(descriptor, "\xF0\x9F\x98\x80\n", &error));
  // A finished line (CR LF ends already in place) gets one CR per line end,
  // and keeps a CR of its text.
  EXPECT_EQ(0, WriteUtf8CrLfText(descriptor, "\r\r\n\xC3\xA9\r\n", &error));
  Close(descriptor);
  EXPECT_EQ((test::Bytes{0xFF, 0xFE, 'A', 0,    0xE9, 0,    0x0D, 0,    0x0A, 0,    0x3D, 0xD8, 0x00, 0xDE, 0x0D,
                         0,    0x0A, 0,   0x0D, 0,    0x0D, 0,    0x0A, 0,    0xE9, 0,    0x0D, 0,    0x0A, 0}),
            test::ReadFileBytes(wide));
}

// The writer keeps finished lines as UTF-8; the file must not tell.
TEST(PlatformTextFile, Utf8WritesMatchWideWrites) {
  TempFolder folder;
  int wide = Open(folder.Path() / L"wide.log");
  int narrow = Open(folder.Path() / L"narrow.log");
  ASSERT_TRUE(wide >= 0 && narrow >= 0);
  for (std::string_view text :
       {"Lookout     +W 12/05 10:34:55.123 Link down\n", "two\nlines\r\n", "", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\n",
        "bad \xFF\xC0\xED\xA0\x80 \xF8\x88\x80 end\n"}) {
    int error = 0;
    EXPECT_EQ(WriteText(wide, WideFromUtf8(text), &error), WriteUtf8Text(narrow, text, &error)) << text;
  }
  Close(wide);
  Close(narrow);
  std::string bytes = ReadFileText(folder.Path() / L"narrow.log");
  EXPECT_EQ(ReadFileText(folder.Path() / L"wide.log"), bytes);
  // Each byte that starts no valid sequence becomes U+FFFD.
  std::string replaced;
  for (int i = 0; i < 5; ++i) replaced += "\xEF\xBF\xBD";
  EXPECT_TRUE(bytes.ends_with("bad " + replaced + " " + replaced.substr(0, 9) + " end\r\n"));
}

// Without a Unicode mode the text goes out in the ANSI code page (ASCII
// here, the same in every code page), with no byte-order mark.
TEST(PlatformTextFile, ByteModesTakeAnsiText) {
  TempFolder folder;
  auto text = folder.Path() / L"text.log", binary = folder.Path() / L"binary.log";
  int textDescriptor = Open(text, kOWronly | kOCreat | kOText, kShDenyNo);
  int binaryDescriptor = Open(binary, kOWronly | kOCreat | kOBinary, kShDenyNo);
  ASSERT_TRUE(textDescriptor >= 0 && binaryDescriptor >= 0);
  int error = 0;
  EXPECT_EQ(8, WriteText(textDescriptor, L"a\nb\n", &error));
  EXPECT_EQ(8, WriteText(binaryDescriptor, L"a\nb\n", &error));
  EXPECT_EQ(2, WriteUtf8Text(binaryDescriptor, "c", &error));
  Close(textDescriptor);
  Close(binaryDescriptor);
  EXPECT_EQ("a\r\nb\r\n", ReadFileText(text));
  EXPECT_EQ("a\nb\nc", ReadFileText(binary));
}

TEST(PlatformTextFile, ErrorNumbers) {
  TempFolder folder;
  EXPECT_EQ(-kErrnoEnoent, Open(folder.Path() / L"missing" / L"a.log"));
  EXPECT_EQ(-kErrnoEacces, Open(folder.Path()));
  // Writes to a reader, to a closed descriptor and to -1 (a failed open).
  Write(folder.Path() / L"read.log", "x");
  int reader = Open(folder.Path() / L"read.log", kORdonly | kOText | kOU8Text, kShDenyNo);
  ASSERT_GE(reader, 0);
  int error = 0;
  EXPECT_EQ(-1, WriteText(reader, L"x", &error));
  EXPECT_EQ(kErrnoEbadf, error);
  Close(reader);
  for (int descriptor : {reader, -1}) {
    error = 0;
    EXPECT_EQ(-1, WriteUtf8Text(descriptor, "x", &error));
    EXPECT_EQ(kErrnoEbadf, error);
    error = 0;
    EXPECT_EQ(-1, WriteUtf8CrLfText(descriptor, "x\r\n", &error));
    EXPECT_EQ(kErrnoEbadf, error);
  }
}

TEST(PlatformTextFile, SharingBetweenDescriptors) {
  TempFolder folder;
  auto path = folder.Path() / L"held.log";
  int holder = Open(path);  // writes, denies writers
  ASSERT_GE(holder, 0);
  EXPECT_EQ(-kErrnoEacces, Open(path, kAppendUtf8, kShDenyNo));
  EXPECT_EQ(-kErrnoEacces, Open(path, kORdonly, kShDenyWr));  // would deny the holder's writing
  int reader = Open(path, kORdonly, kShDenyNo);
  EXPECT_GE(reader, 0);
  Close(holder);
  EXPECT_EQ(-kErrnoEacces, Open(path, kORdonly, kShDenyRw));  // the reader reads
  // Even a reader that shares reading and writing withholds deletion.
  EXPECT_EQ(kErrorSharingViolation, MovePath(path.wstring(), (folder.Path() / L"moved.log").wstring()));
  EXPECT_EQ(kErrorSharingViolation, DeletePath(path.wstring()));
  int writer = Open(path, kAppendUtf8, kShDenyNo);
  EXPECT_GE(writer, 0);
  Close(writer);
  Close(reader);
}

// Opens that deny each other and start together: exactly one may win.
TEST(PlatformTextFile, RacingOpensNeverBothWin) {
  TempFolder folder;
  auto path = folder.Path() / L"race.log";
  constexpr int kRacers = 3, kRounds = 300;
  // The racers meet twice per round, spinning on one counter: std::barrier
  // hangs now and then under mingw's runtime on Wine, and spinning starts the
  // opens closer together than wake-ups would.
  std::atomic<int> arrived{0};
  auto meet = [&arrived](int phase) {
    arrived.fetch_add(1);
    while (arrived.load() < kRacers * phase) std::this_thread::yield();
  };
  std::atomic<int> winners[kRounds] = {};
  auto racer = [&] {
    for (int round = 0; round < kRounds; ++round) {
      meet(2 * round + 1);
      int descriptor = Open(path);
      if (descriptor >= 0) winners[round].fetch_add(1);
      meet(2 * round + 2);
      if (descriptor >= 0) Close(descriptor);
    }
  };
  std::vector<std::thread> others;
  for (int i = 1; i < kRacers; ++i) others.emplace_back(racer);
  racer();
  for (auto& thread : others) thread.join();
  for (int round = 0; round < kRounds; ++round) EXPECT_EQ(1, winners[round].load()) << round;
}

TEST(PlatformTextFile, AFaultPartWayCutsTheFileBackInEveryMode) {
  TempFolder folder;
  struct Row {
    const char* name;
    std::string initial;  // an existing file's bytes
    int openFlag;
    std::string expected;  // after "one", a failed long line and "two"
  };
  const Row rows[] = {
      {"utf8", "", kAppendUtf8, "\xEF\xBB\xBFone\r\ntwo\r\n"},
      {"utf16", "\xFF\xFE", kAppendUtf8, std::string("\xFF\xFEo\0n\0e\0\r\0\n\0t\0w\0o\0\r\0\n\0", 22)},
      {"ansi", "", kOWronly | kOAppend | kOCreat | kOText, "one\r\ntwo\r\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto path = folder.Path() / (std::string(row.name) + ".log");
    if (!row.initial.empty()) Write(path, row.initial);
    int descriptor = Open(path, row.openFlag);
    ASSERT_GE(descriptor, 0);
    int error = 0;
    EXPECT_NE(WriteText(descriptor, L"one\n", &error), -1);
    {
      test::ScopedFileFaults faults([](FileOperation operation, std::size_t) {
        return operation == FileOperation::Write ? FileFault{kErrnoEnospc, 7} : FileFault{};
      });
      error = 0;
      EXPECT_EQ(WriteText(descriptor, std::wstring(100, L'x') + L"\n", &error), -1);
      EXPECT_EQ(error, kErrnoEnospc);
      EXPECT_EQ(WriteUtf8CrLfText(descriptor, std::string(100, 'y') + "\r\n", &error), -1);
    }
    EXPECT_NE(WriteText(descriptor, L"two\n", &error), -1);
    Close(descriptor);
    EXPECT_EQ(ReadFileText(path), row.expected);
  }
  // A flush fails as the hook says.
  int descriptor = Open(folder.Path() / "commit.log");
  ASSERT_GE(descriptor, 0);
  int error = 0;
  {
    test::ScopedFileFaults faults([](FileOperation operation, std::size_t) {
      return operation == FileOperation::Commit ? FileFault{kErrnoEio, 0} : FileFault{};
    });
    EXPECT_EQ(CommitFile(descriptor, &error), -1);
    EXPECT_EQ(error, kErrnoEio);
  }
  EXPECT_EQ(CommitFile(descriptor, &error), 0);
  Close(descriptor);
}

// A write that fails part-way is cut back only while the file ends where
// that write left it: bytes another program appended after it stay, and
// so do ours before them. (On Windows no other program can write a file
// held with _SH_DENYWR, so there is nothing to append.)
TEST(PlatformTextFile, AFaultPartWayNeverCutsWhatAnotherProgramAppended) {
  if (test::OnWindows()) GTEST_SKIP() << "no other program can append to the held file";
  TempFolder folder;
  auto path = folder.Path() / L"shared.log";
  int descriptor = Open(path);
  ASSERT_GE(descriptor, 0);
  int error = 0;
  {
    test::ScopedFileFaults faults([&path](FileOperation operation, std::size_t) {
      if (operation != FileOperation::Write) return FileFault{};
      return FileFault{kErrnoEnospc, 5,
                       [&path] { std::ofstream(path, std::ios::binary | std::ios::app) << "OTHER PROGRAM\r\n"; }};
    });
    EXPECT_EQ(WriteUtf8CrLfText(descriptor, "torn line\r\n", &error), -1);
  }
  Close(descriptor);
  EXPECT_EQ(ReadFileText(path), "\xEF\xBB\xBFtorn OTHER PROGRAM\r\n");
}

// What EndLastLine adds before the next line, by what the file held: only a
// line end, and only where text ends without one.
TEST(PlatformTextFile, EndLastLineEndsOnlyAnOpenLine) {
  TempFolder folder;
  const std::string note = "NOTE FROM ANOTHER PROGRAM (no line end)";
  struct Row {
    const char* name;
    std::string initial;  // nothing: no file
    int ended;
    std::string expected;  // after EndLastLine and the line "next"
  };
  const Row rows[] = {
      {"missing", "", 0, "\xEF\xBB\xBFnext\r\n"},
      {"mark only", "\xEF\xBB\xBF", 0, "\xEF\xBB\xBFnext\r\n"},
      {"whole line",
       "\xEF\xBB\xBF"
       "a\r\n",
       0,
       "\xEF\xBB\xBF"
       "a\r\nnext\r\n"},
      {"bare line feed", "a\n", 0, "a\nnext\r\n"},
      {"no mark, no line end", note, 1, note + "\r\nnext\r\n"},
      {"torn after a line",
       "\xEF\xBB\xBF"
       "a\r\nb\r",
       1,
       "\xEF\xBB\xBF"
       "a\r\nb\r\r\nnext\r\n"},
      {"one byte", "x", 1, "x\r\nnext\r\n"},
      {"utf16 mark only", "\xFF\xFE", 0, std::string("\xFF\xFEn\0e\0x\0t\0\r\0\n\0", 14)},
      {"utf16 whole line", std::string("\xFF\xFEz\0\n\0", 6), 0,
       std::string("\xFF\xFEz\0\n\0n\0e\0x\0t\0\r\0\n\0", 18)},
      {"utf16 open line", std::string("\xFF\xFEz\0", 4), 1, std::string("\xFF\xFEz\0\r\0\n\0n\0e\0x\0t\0\r\0\n\0", 20)},
      // A line feed byte that is half of another character ends no line.
      {"utf16 0A of another unit", std::string("\xFF\xFE\n\x01", 4), 1,
       std::string("\xFF\xFE\n\x01\r\0\n\0n\0e\0x\0t\0\r\0\n\0", 20)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto path = folder.Path() / (std::string(row.name) + ".log");
    if (row.name != std::string("missing")) Write(path, row.initial);
    int descriptor = Open(path);
    ASSERT_GE(descriptor, 0);
    int error = 0;
    EXPECT_EQ(EndLastLine(descriptor, path.wstring(), &error), row.ended);
    // A second call finds the line ended.
    EXPECT_EQ(EndLastLine(descriptor, path.wstring(), &error), 0);
    EXPECT_NE(WriteText(descriptor, L"next\n", &error), -1);
    Close(descriptor);
    EXPECT_EQ(ReadFileText(path), row.expected);
  }
}

// The one case with the system's own limit: a write past a per-process file
// size limit fails part-way, and the file is cut back all the same.
TEST(PlatformTextFile, AWriteThatFailsPartWayLeavesNoTornLine) {
  TempFolder folder;
  auto path = folder.Path() / L"big.log";
  // In a child, since the limit holds for the whole process.
  int result = test::RunChild({L"write-past-limit", path.wstring()});
  if (result == 200) GTEST_SKIP() << "no per-process file size limit on this system";
  EXPECT_EQ(kErrnoEfbig, result);
  EXPECT_TRUE(ReadFileText(path) == "\xEF\xBB\xBF" + std::string(3000, 'a') + "\r\nafter\r\n");
}

}  // namespace
}  // namespace wl::platform
