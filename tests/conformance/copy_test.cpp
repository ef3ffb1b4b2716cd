// File copies and deletions as the updater makes them.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "test_machine.h"

namespace {

std::string LargeContent() {
  std::string bytes;
  for (int at = 0; bytes.size() < 1024 * 1024 + 7; ++at) {
    bytes += std::to_string(at * 7919) + ',';
  }
  return bytes;
}

// The last-write time FindFirstFileA reports for `path`, as one number.
unsigned long long LastWriteTime(const std::string& path) {
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(path.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot find " << path;
    return 0;
  }
  FindClose(search);
  return (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
         data.ftLastWriteTime.dwLowDateTime;
}

TEST(FileCopy, CreatesAndReplacesTargets) {
  std::string folder = test_machine::NewScratchFolder();
  std::string large = LargeContent();
  ASSERT_TRUE(test_machine::WriteWholeFile(folder + "source", large));
  ASSERT_TRUE(CopyFileA((folder + "source").c_str(), (folder + "target").c_str(), FALSE));
  EXPECT_EQ(test_machine::ReadWholeFile(folder + "target"), large);

  ASSERT_TRUE(test_machine::WriteWholeFile(folder + "source", "short now"));
  ASSERT_TRUE(CopyFileA((folder + "source").c_str(), (folder + "target").c_str(), FALSE));
  EXPECT_EQ(test_machine::ReadWholeFile(folder + "target"), "short now");

  ASSERT_TRUE(test_machine::WriteWholeFile(folder + "empty", ""));
  ASSERT_TRUE(CopyFileA((folder + "empty").c_str(), (folder + "target").c_str(), FALSE));
  EXPECT_EQ(test_machine::ReadWholeFile(folder + "target"), "");
}

TEST(FileCopy, FailIfExistsKeepsTheTarget) {
  std::string folder = test_machine::NewScratchFolder();
  ASSERT_TRUE(test_machine::WriteWholeFile(folder + "source", "new"));
  ASSERT_TRUE(test_machine::WriteWholeFile(folder + "target", "old"));
  SetLastError(0);
  EXPECT_FALSE(CopyFileA((folder + "source").c_str(), (folder + "target").c_str(), TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(test_machine::ReadWholeFile(folder + "target"), "old");

  EXPECT_TRUE(CopyFileA((folder + "source").c_str(), (folder + "fresh").c_str(), TRUE));
  EXPECT_EQ(test_machine::ReadWholeFile(folder + "fresh"), "new");
}

TEST(FileCopy, KeepsTheLastWriteTime) {
  std::string folder = test_machine::NewScratchFolder();
  ASSERT_TRUE(test_machine::WriteWholeFile(folder + "source", "dated"));
  unsigned long long written = LastWriteTime(folder + "source");
  // Let the file system's clock move on, so that a copy stamped "now" would show.
  unsigned long long now = written;
  for (int tries = 0; now == written && tries < 100000; ++tries) {
    ASSERT_TRUE(test_machine::WriteWholeFile(folder + "clock", "tick"));
    now = LastWriteTime(folder + "clock");
  }
  ASSERT_NE(now, written);
  ASSERT_TRUE(CopyFileA((folder + "source").c_str(), (folder + "target").c_str(), FALSE));
  EXPECT_EQ(LastWriteTime(folder + "target"), written);
}

TEST(FileCopy, FailuresLeaveNoTarget) {
  std::string folder = test_machine::NewScratchFolder();
  ASSERT_TRUE(test_machine::WriteWholeFile(folder + "source", "bytes"));
  ASSERT_TRUE(CreateDirectoryA((folder + "sub").c_str(), nullptr));

  SetLastError(0);
  EXPECT_FALSE(CopyFileA((folder + "missing").c_str(), (folder + "target").c_str(), FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(test_machine::ReadWholeFile(folder + "target"), "<missing>");

  SetLastError(0);
  EXPECT_FALSE(CopyFileA((folder + "source").c_str(), (folder + "nowhere\\target").c_str(), FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  SetLastError(0);
  EXPECT_FALSE(CopyFileA((folder + "source").c_str(), (folder + "sub").c_str(), FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  EXPECT_FALSE(CopyFileA((folder + "sub").c_str(), (folder + "target").c_str(), FALSE));
  EXPECT_EQ(test_machine::ReadWholeFile(folder + "target"), "<missing>");

  SetLastError(0);
  EXPECT_FALSE(CopyFileA((folder + "source").c_str(), (folder + "source").c_str(), FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(test_machine::ReadWholeFile(folder + "source"), "bytes");
}

TEST(FileDeletion, RemovesFilesAndRefusesTheRest) {
  std::string folder = test_machine::NewScratchFolder();
  ASSERT_TRUE(test_machine::WriteWholeFile(folder + "doomed", "x"));
  ASSERT_TRUE(CreateDirectoryA((folder + "sub").c_str(), nullptr));

  EXPECT_TRUE(DeleteFileA((folder + "doomed").c_str()));
  EXPECT_EQ(test_machine::ReadWholeFile(folder + "doomed"), "<missing>");

  SetLastError(0);
  EXPECT_FALSE(DeleteFileA((folder + "doomed").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  SetLastError(0);
  EXPECT_FALSE(DeleteFileA((folder + "nowhere\\doomed").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  SetLastError(0);
  EXPECT_FALSE(DeleteFileA((folder + "sub").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(GetFileAttributesA((folder + "sub").c_str()) & FILE_ATTRIBUTE_DIRECTORY,
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST(FileSharing, OpenFilesHoldOffDeletionAndReplacementButNotReading) {
  std::string folder = test_machine::NewScratchFolder();
  ASSERT_TRUE(test_machine::WriteWholeFile(folder + "held", "held bytes"));
  ASSERT_TRUE(test_machine::WriteWholeFile(folder + "other", "other bytes"));
  // A reader, and a handle that reads and writes: both share reading only.
  for (DWORD access : {GENERIC_READ, GENERIC_READ | GENERIC_WRITE}) {
    HANDLE held = CreateFileA((folder + "held").c_str(), access, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    SetLastError(0);
    EXPECT_FALSE(DeleteFileA((folder + "held").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    SetLastError(0);
    EXPECT_FALSE(CopyFileA((folder + "other").c_str(), (folder + "held").c_str(), FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (access == GENERIC_READ) {  // a copy's source is opened refusing writers
      EXPECT_TRUE(CopyFileA((folder + "held").c_str(), (folder + "copy").c_str(), FALSE));
      EXPECT_EQ(test_machine::ReadWholeFile(folder + "copy"), "held bytes");
    }
    ASSERT_TRUE(CloseHandle(held));
  }
  EXPECT_EQ(test_machine::ReadWholeFile(folder + "held"), "held bytes");

  EXPECT_TRUE(CopyFileA((folder + "other").c_str(), (folder + "held").c_str(), FALSE));
  EXPECT_EQ(test_machine::ReadWholeFile(folder + "held"), "other bytes");
  EXPECT_TRUE(DeleteFileA((folder + "held").c_str()));
}

TEST(FileSharing, ASourceHeldUnsharedRefusesTheCopyBeforeTheTargetIsAskedAbout) {
  std::string folder = test_machine::NewScratchFolder();
  ASSERT_TRUE(test_machine::WriteWholeFile(folder + "source", "source bytes"));
  ASSERT_TRUE(test_machine::WriteWholeFile(folder + "target", "target bytes"));
  HANDLE writer = CreateFileA((folder + "source").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  // Fail-if-exists would refuse with 80, were the target looked at first.
  for (BOOL fail_if_exists : {TRUE, FALSE}) {
    SetLastError(0);
    EXPECT_FALSE(
        CopyFileA((folder + "source").c_str(), (folder + "target").c_str(), fail_if_exists));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  CloseHandle(writer);
  EXPECT_EQ(test_machine::ReadWholeFile(folder + "target"), "target bytes");
}

TEST(FileCopy, EmptyNamesAreMissingPaths) {
  std::string folder = test_machine::NewScratchFolder();
  ASSERT_TRUE(test_machine::WriteWholeFile(folder + "source", "bytes"));
  SetLastError(0);
  EXPECT_FALSE(CopyFileA("", (folder + "target").c_str(), FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  SetLastError(0);
  EXPECT_FALSE(CopyFileA((folder + "source").c_str(), "", FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  SetLastError(0);
  EXPECT_FALSE(DeleteFileA(""));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  WIN32_FIND_DATAA entry;
  SetLastError(0);
  EXPECT_EQ(FindFirstFileA("", &entry), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

}  // namespace
