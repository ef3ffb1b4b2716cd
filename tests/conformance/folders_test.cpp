// CreateDirectoryA and GetFileAttributesA: results, attributes and error codes.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "test_machine.h"

namespace {

using test_machine::NewScratchFolder;
using test_machine::WriteWholeFile;

constexpr DWORD kShownBits = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY |
                             FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL;

DWORD CreateError(const std::string& path) {
  SetLastError(0xDEAD);
  return CreateDirectoryA(path.c_str(), nullptr) ? 0 : GetLastError();
}

// The last error of a GetFileAttributesA that is expected to fail; 0 when it did not fail.
DWORD AttributesError(const std::string& path) {
  SetLastError(0xDEAD);
  return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0;
}

TEST(FolderCreate, CreatesOnceWithWindowsErrors) {
  std::string folder = NewScratchFolder();
  EXPECT_EQ(CreateError(folder + "sub"), 0u);
  EXPECT_EQ(CreateError(folder + "sub"), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(CreateError(folder + "sub\\"), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(CreateError(folder + "sub\\deeper\\"), 0u);
  EXPECT_EQ(CreateError(folder + "no\\such"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(CreateError(""), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  ASSERT_TRUE(WriteWholeFile(folder + "file.txt", "x"));
  EXPECT_EQ(CreateError(folder + "file.txt"), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(CreateError(folder + "file.txt\\sub"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_NE(GetFileAttributesA((folder + "sub\\deeper").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST(FileAttributes, FoldersWithAndWithoutTrailingSeparator) {
  std::string folder = NewScratchFolder();
  std::string bare = folder.substr(0, folder.size() - 1);
  EXPECT_EQ(GetFileAttributesA(folder.c_str()) & kShownBits, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesA(bare.c_str()) & kShownBits, FILE_ATTRIBUTE_DIRECTORY);
}

TEST(FileAttributes, PlainFilesShowTheArchiveBit) {
  std::string path = NewScratchFolder() + "plain.txt";
  ASSERT_TRUE(WriteWholeFile(path, "x"));
  EXPECT_EQ(GetFileAttributesA(path.c_str()) & kShownBits, FILE_ATTRIBUTE_ARCHIVE);
  // A file is no folder, so its name with a trailing '\' names nothing.
  EXPECT_EQ(AttributesError(path + "\\"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(FileAttributes, MissingPaths) {
  std::string folder = NewScratchFolder();
  EXPECT_EQ(AttributesError(folder + "missing.txt"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(AttributesError(folder + "no\\missing.txt"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(AttributesError(""), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  ASSERT_TRUE(WriteWholeFile(folder + "file.txt", "x"));
  EXPECT_EQ(AttributesError(folder + "file.txt\\inner"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(FileAttributes, DotNamesAreHidden) {
  // Windows itself does not hide such names; Wine and the emulated machine, whose files are
  // host files, show the host's dot files as hidden.
  std::string folder = NewScratchFolder();
  ASSERT_TRUE(WriteWholeFile(folder + ".settings", "x"));
  ASSERT_TRUE(CreateDirectoryA((folder + ".cache").c_str(), nullptr));
  EXPECT_EQ(GetFileAttributesA((folder + ".settings").c_str()) & kShownBits,
            FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(GetFileAttributesA((folder + ".cache").c_str()) & kShownBits,
            FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY);
}

TEST(PathSteps, DotStepsFoldByTheTextAloneAndStayOnTheirDrive) {
  std::string folder = NewScratchFolder();
  // The folder "missing" need not exist for "missing\.." to lead back.
  EXPECT_EQ(CreateError(folder + "missing\\..\\made\\"), 0u);
  EXPECT_EQ(AttributesError(folder + "missing"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  ASSERT_TRUE(WriteWholeFile(folder + "made\\.\\..\\made\\file.txt", "x"));
  EXPECT_EQ(GetFileAttributesA((folder + "made\\file.txt").c_str()) & kShownBits,
            FILE_ATTRIBUTE_ARCHIVE);
  // Steps above the root of the drive stay at the root.
  ASSERT_EQ(folder.substr(1, 2), ":\\");
  std::string climbing = folder.substr(0, 3) + "..\\..\\..\\" + folder.substr(3) + "made";
  EXPECT_EQ(GetFileAttributesA(climbing.c_str()) & kShownBits, FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace
