// CreateFileA, ReadFile, WriteFile and CloseHandle: dispositions, error codes, end of file
// and share modes between two handles of one process.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "test_machine.h"

namespace {

using test_machine::NewScratchFolder;
using test_machine::ReadWholeFile;
using test_machine::WriteWholeFile;

// The outcome of one CreateFileA: the last error it left, and whether it opened.
struct Opened {
  HANDLE handle;
  DWORD error;
  bool ok() const { return handle != INVALID_HANDLE_VALUE; }
};

Opened Open(const std::string& path, DWORD access, DWORD share, DWORD disposition,
            DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
  SetLastError(0xDEAD);
  HANDLE handle =
      CreateFileA(path.c_str(), access, share, nullptr, disposition, attributes, nullptr);
  return {handle, GetLastError()};
}

// Opens `path` and closes it again; the last error of the open, 0 when it opened.
DWORD OpenError(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
  Opened opened = Open(path, access, share, disposition);
  if (!opened.ok()) {
    return opened.error;
  }
  CloseHandle(opened.handle);
  return 0;
}

TEST(FileOpen, CreateNewMakesAFileOnceOnly) {
  std::string path = NewScratchFolder() + "new.txt";
  Opened first = Open(path, GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first.error, 0u);
  EXPECT_TRUE(CloseHandle(first.handle));
  EXPECT_EQ(OpenError(path, GENERIC_WRITE, 0, CREATE_NEW), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(ReadWholeFile(path), "");
}

TEST(FileOpen, CreateAlwaysTruncatesAndReportsAnExistingFile) {
  std::string path = NewScratchFolder() + "always.txt";
  Opened created = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_TRUE(created.ok());
  EXPECT_EQ(created.error, 0u);
  CloseHandle(created.handle);
  ASSERT_TRUE(WriteWholeFile(path, "old content"));
  Opened again = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.error, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  CloseHandle(again.handle);
  EXPECT_EQ(ReadWholeFile(path), "");
}

TEST(FileOpen, OpenAlwaysKeepsContentAndReportsAnExistingFile) {
  std::string path = NewScratchFolder() + "open.txt";
  Opened created = Open(path, GENERIC_READ, 0, OPEN_ALWAYS);
  ASSERT_TRUE(created.ok());
  EXPECT_EQ(created.error, 0u);
  CloseHandle(created.handle);
  ASSERT_TRUE(WriteWholeFile(path, "kept"));
  Opened again = Open(path, GENERIC_READ, 0, OPEN_ALWAYS);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.error, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  CloseHandle(again.handle);
  EXPECT_EQ(ReadWholeFile(path), "kept");
}

TEST(FileOpen, OpenExistingAndTruncateExisting) {
  std::string folder = NewScratchFolder();
  std::string path = folder + "there.txt";
  EXPECT_EQ(OpenError(path, GENERIC_READ, 0, OPEN_EXISTING),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(OpenError(path, GENERIC_WRITE, 0, TRUNCATE_EXISTING),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  ASSERT_TRUE(WriteWholeFile(path, "content"));
  Opened opened = Open(path, GENERIC_READ, 0, OPEN_EXISTING);
  ASSERT_TRUE(opened.ok());
  EXPECT_EQ(opened.error, 0u);
  CloseHandle(opened.handle);
  EXPECT_EQ(ReadWholeFile(path), "content");
  EXPECT_EQ(OpenError(path, GENERIC_WRITE, 0, TRUNCATE_EXISTING), 0u);
  EXPECT_EQ(ReadWholeFile(path), "");
}

TEST(FileOpen, ErrorCodesOfBadPaths) {
  std::string folder = NewScratchFolder();
  ASSERT_TRUE(WriteWholeFile(folder + "file.txt", "x"));
  EXPECT_EQ(OpenError(folder + "no\\such.txt", GENERIC_READ, 0, OPEN_EXISTING),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(OpenError(folder + "no\\such.txt", GENERIC_WRITE, 0, CREATE_ALWAYS),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(OpenError(folder + "file.txt\\inner.txt", GENERIC_READ, 0, OPEN_EXISTING),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(OpenError("", GENERIC_READ, 0, OPEN_EXISTING),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(OpenError(folder + "file.txt", GENERIC_READ, 0, 0),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // A name ending in '\' never names a file.
  EXPECT_EQ(OpenError(folder + "file.txt\\", GENERIC_READ, 0, OPEN_EXISTING),
            static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(OpenError(folder + "fresh.txt\\", GENERIC_WRITE, 0, CREATE_NEW),
            static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(GetFileAttributesA((folder + "fresh.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(FileOpen, AFolderIsNoFile) {
  std::string folder = NewScratchFolder();
  std::string bare = folder.substr(0, folder.size() - 1);
  EXPECT_EQ(OpenError(bare, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenError(folder, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenError(bare, GENERIC_WRITE, 0, CREATE_ALWAYS),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenError(bare, GENERIC_WRITE, 0, OPEN_ALWAYS),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenError(bare, GENERIC_WRITE, 0, CREATE_NEW), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_NE(GetFileAttributesA(bare.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST(FileOpen, ReadOnlyAttributeOnANewFile) {
  std::string path = NewScratchFolder() + "locked.txt";
  Opened created = Open(path, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(created.ok());
  // The handle that created the file may still write it.
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(created.handle, "ro", 2, &written, nullptr));
  EXPECT_EQ(written, 2u);
  CloseHandle(created.handle);
  EXPECT_NE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(ReadWholeFile(path), "ro");
  // Later opens for writing are refused on Windows and on the emulated machine; Wine run by
  // the host's superuser lets them through, so that refusal is checked in the unit tests.
}

TEST(FileAttributes, ReadOnlyIsSetAndClearedOnAFileAndAFolderKeepsItsOwn) {
  std::string folder = NewScratchFolder();
  std::string path = folder + "file.txt";
  ASSERT_TRUE(WriteWholeFile(path, "bytes"));
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_NE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_TRUE(DeleteFileA(path.c_str()));
  EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);

  EXPECT_FALSE(SetFileAttributesA((folder + "missing.txt").c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(SetFileAttributesA((folder + "no\\missing.txt").c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_TRUE(SetFileAttributesA(folder.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_NE(GetFileAttributesA(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST(FileReadWrite, ReadsBackWhatWasWrittenAndEndsWithZeroBytes) {
  std::string path = NewScratchFolder() + "data.bin";
  std::string bytes("line one\r\nline two\0\x7F\xFF", 21);
  ASSERT_TRUE(WriteWholeFile(path, bytes));
  Opened opened = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_TRUE(opened.ok());
  char buffer[64];
  DWORD got = 99;
  ASSERT_TRUE(ReadFile(opened.handle, buffer, 8, &got, nullptr));
  EXPECT_EQ(std::string(buffer, got), "line one");
  ASSERT_TRUE(ReadFile(opened.handle, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(std::string(buffer, got), bytes.substr(8));
  got = 99;
  EXPECT_TRUE(ReadFile(opened.handle, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(CloseHandle(opened.handle));
}

TEST(FileReadWrite, AccessOfTheHandleIsEnforced) {
  std::string path = NewScratchFolder() + "access.txt";
  ASSERT_TRUE(WriteWholeFile(path, "abc"));
  char buffer[4];
  DWORD count = 99;
  Opened writer = Open(path, GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_TRUE(writer.ok());
  EXPECT_FALSE(ReadFile(writer.handle, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(count, 0u);
  CloseHandle(writer.handle);
  Opened reader = Open(path, GENERIC_READ, 0, OPEN_EXISTING);
  ASSERT_TRUE(reader.ok());
  count = 99;
  EXPECT_FALSE(WriteFile(reader.handle, "x", 1, &count, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(count, 0u);
  CloseHandle(reader.handle);
  EXPECT_EQ(ReadWholeFile(path), "abc");
}

TEST(FileReadWrite, WritesAppendAtTheHandlesPosition) {
  std::string path = NewScratchFolder() + "parts.txt";
  Opened opened = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_TRUE(opened.ok());
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(opened.handle, "first ", 6, &written, nullptr));
  EXPECT_TRUE(WriteFile(opened.handle, "second", 6, &written, nullptr));
  EXPECT_EQ(written, 6u);
  EXPECT_TRUE(WriteFile(opened.handle, "", 0, &written, nullptr));
  EXPECT_EQ(written, 0u);
  CloseHandle(opened.handle);
  EXPECT_EQ(ReadWholeFile(path), "first second");
}

TEST(FileReadWrite, SmallReadsThroughALargeFileGiveEveryByteOnce) {
  std::string path = NewScratchFolder() + "large.bin";
  std::string bytes;
  for (int i = 0; bytes.size() < 200000; ++i) {
    bytes += std::to_string(i * 7919) + (i % 3 == 0 ? "\r\n" : ",");
  }
  ASSERT_TRUE(WriteWholeFile(path, bytes));
  Opened opened = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_TRUE(opened.ok());
  std::string read_back;
  char buffer[100000];
  // A large step first, then small ones, large ones that start amid earlier bytes, and small
  // ones to the end.
  for (DWORD step : {70000u, 128u, 128u, 1u, 128u, 90000u, 127u, 128u, 100000u, 128u}) {
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(opened.handle, buffer, step, &got, nullptr));
    read_back.append(buffer, got);
  }
  for (DWORD got = 1; got != 0;) {
    ASSERT_TRUE(ReadFile(opened.handle, buffer, 128, &got, nullptr));
    read_back.append(buffer, got);
  }
  CloseHandle(opened.handle);
  EXPECT_EQ(read_back, bytes);
}

TEST(FileReadWrite, AReaderThatSharesWritingSeesLaterWrites) {
  std::string path = NewScratchFolder() + "growing.txt";
  ASSERT_TRUE(WriteWholeFile(path, "first"));
  Opened reader = Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_TRUE(reader.ok());
  Opened writer = Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_TRUE(writer.ok());
  char buffer[16];
  DWORD count = 0;
  ASSERT_TRUE(ReadFile(reader.handle, buffer, 3, &count, nullptr));
  EXPECT_EQ(std::string(buffer, count), "fir");
  ASSERT_TRUE(WriteFile(writer.handle, "FIRST, second", 13, &count, nullptr));
  ASSERT_TRUE(ReadFile(reader.handle, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(std::string(buffer, count), "ST, second");
  CloseHandle(writer.handle);
  CloseHandle(reader.handle);
}

TEST(FileReadWrite, AHandleThatReadsAndWritesWritesWhereItRead) {
  std::string path = NewScratchFolder() + "both.txt";
  ASSERT_TRUE(WriteWholeFile(path, "first"));
  Opened opened = Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_TRUE(opened.ok());
  char buffer[8];
  DWORD count = 0;
  ASSERT_TRUE(ReadFile(opened.handle, buffer, 3, &count, nullptr));
  EXPECT_EQ(std::string(buffer, count), "fir");
  ASSERT_TRUE(WriteFile(opened.handle, "XY", 2, &count, nullptr));
  ASSERT_TRUE(ReadFile(opened.handle, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(std::string(buffer, count), "");
  CloseHandle(opened.handle);
  EXPECT_EQ(ReadWholeFile(path), "firXY");
}

TEST(FilePointer, MovesFromTheStartThePlaceAndTheEndAndNotBeforeTheStart) {
  std::string path = NewScratchFolder() + "moved.txt";
  ASSERT_TRUE(WriteWholeFile(path, "0123456789"));
  // Reading and not sharing writing, as the command list's handle does.
  Opened opened = Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_TRUE(opened.ok());
  auto read = [&](DWORD count) {
    char buffer[16];
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(opened.handle, buffer, count, &got, nullptr));
    return std::string(buffer, got);
  };
  EXPECT_EQ(read(3), "012");
  EXPECT_EQ(SetFilePointer(opened.handle, 2, nullptr, FILE_CURRENT), 5u);
  EXPECT_EQ(read(2), "56");
  EXPECT_EQ(SetFilePointer(opened.handle, -3, nullptr, FILE_END), 7u);
  EXPECT_EQ(read(16), "789");
  EXPECT_EQ(SetFilePointer(opened.handle, 0, nullptr, FILE_BEGIN), 0u);
  EXPECT_EQ(read(4), "0123");

  SetLastError(0);
  EXPECT_EQ(SetFilePointer(opened.handle, -5, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
  SetLastError(0);
  EXPECT_EQ(SetFilePointer(opened.handle, 0, nullptr, 3), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(SetFilePointer(opened.handle, 0, nullptr, FILE_CURRENT), 4u);

  LONG high = 0;
  EXPECT_EQ(SetFilePointer(opened.handle, 1, &high, FILE_BEGIN), 1u);
  EXPECT_EQ(high, 0);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(opened.handle, "AB", 2, &written, nullptr));
  EXPECT_EQ(read(2), "34");
  CloseHandle(opened.handle);
  EXPECT_EQ(ReadWholeFile(path), "0AB3456789");

  SetLastError(0);
  EXPECT_EQ(SetFilePointer(opened.handle, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(HandleClose, ClosedAndNullHandlesAreInvalid) {
  std::string path = NewScratchFolder() + "closed.txt";
  Opened opened = Open(path, GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_TRUE(opened.ok());
  EXPECT_TRUE(CloseHandle(opened.handle));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(opened.handle));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  DWORD count = 99;
  EXPECT_FALSE(WriteFile(opened.handle, "x", 1, &count, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  char buffer[1];
  EXPECT_FALSE(ReadFile(opened.handle, buffer, 1, &count, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// One handle held open while a second open is tried.
struct ShareCase {
  DWORD held_access;
  DWORD held_share;
  DWORD access;
  DWORD share;
  DWORD expected_error;  // 0: the second open succeeds
};

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kViolation = ERROR_SHARING_VIOLATION;

class FileShareModes : public ::testing::TestWithParam<ShareCase> {};

TEST_P(FileShareModes, SecondOpenIsJudgedAgainstTheFirst) {
  const ShareCase& share_case = GetParam();
  std::string path = NewScratchFolder() + "shared.txt";
  ASSERT_TRUE(WriteWholeFile(path, "shared"));
  Opened held = Open(path, share_case.held_access, share_case.held_share, OPEN_EXISTING);
  ASSERT_TRUE(held.ok());
  EXPECT_EQ(OpenError(path, share_case.access, share_case.share, OPEN_EXISTING),
            share_case.expected_error);
  CloseHandle(held.handle);
  // With the first handle gone nothing stands in the way.
  EXPECT_EQ(OpenError(path, share_case.access, share_case.share, OPEN_EXISTING), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FileShareModes,
    ::testing::Values(
        // A writer that shares reading keeps out readers that do not share writing.
        ShareCase{GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, kViolation},
        ShareCase{GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  0},
        ShareCase{GENERIC_WRITE, FILE_SHARE_READ, GENERIC_WRITE, kShareAll, kViolation},
        ShareCase{GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, 0},
        ShareCase{GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, kShareAll, kViolation},
        ShareCase{GENERIC_READ, 0, GENERIC_READ, kShareAll, kViolation},
        ShareCase{GENERIC_READ, kShareAll, GENERIC_READ, 0, kViolation},
        ShareCase{kReadWrite, FILE_SHARE_READ | FILE_SHARE_WRITE, kReadWrite,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, 0},
        ShareCase{DELETE, kShareAll, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, kViolation},
        ShareCase{GENERIC_READ, FILE_SHARE_READ, DELETE, kShareAll, kViolation},
        // A reader-writer that shares reading only keeps out every writer and deleter.
        ShareCase{kReadWrite, FILE_SHARE_READ, GENERIC_READ, kShareAll, 0},
        ShareCase{kReadWrite, FILE_SHARE_READ, GENERIC_WRITE, kShareAll, kViolation},
        ShareCase{kReadWrite, FILE_SHARE_READ, DELETE, kShareAll, kViolation},
        // An open for no data access is not judged, and its share mode keeps nobody out.
        ShareCase{0, 0, GENERIC_READ, kShareAll, 0}, ShareCase{GENERIC_WRITE, 0, 0, 0, 0}));

TEST(FileShareModes, RefusedCreateAlwaysLeavesTheContent) {
  std::string path = NewScratchFolder() + "kept.txt";
  ASSERT_TRUE(WriteWholeFile(path, "still here"));
  Opened held = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_TRUE(held.ok());
  EXPECT_EQ(OpenError(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS), kViolation);
  EXPECT_EQ(OpenError(path, GENERIC_WRITE, FILE_SHARE_READ, TRUNCATE_EXISTING), kViolation);
  EXPECT_EQ(ReadWholeFile(path), "still here");
  CloseHandle(held.handle);
}

}  // namespace
