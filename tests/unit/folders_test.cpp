// The run's folders and the existence tests.
#include "support/folders.h"

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

TEST(Folders, ThePlatformsFoldersAreTakenAsReported) {
  EXPECT_EQ(GetWindowsDir(), "C:\\WINDOWS");
  EXPECT_EQ(GetTempDir(), "C:\\TEMP\\");
}

TEST(Folders, PackageDirIsTheModulePathWithoutItsLastNineCharacters) {
  char module[MAX_PATH + 1];
  DWORD length = GetModuleFileNameA(nullptr, module, sizeof module);
  ASSERT_GT(length, 9u);
  // This program is unit_tests, not setup.exe: the cut falls inside its name.
  EXPECT_EQ(GetPackageDir(), std::string(module, length - 9));
}

TEST(Folders, ExistenceTestsTellFilesFromFolders) {
  std::string folder = "C:\\TEMP\\exists\\";
  CreateDirectoryA(folder.c_str(), nullptr);
  std::string file = folder + "file.txt";
  HANDLE handle = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  CloseHandle(handle);

  EXPECT_TRUE(DirectoryExists(folder));
  EXPECT_TRUE(DirectoryExists("C:\\TEMP\\exists"));
  EXPECT_FALSE(FileExists(folder));
  EXPECT_TRUE(FileExists(file));
  EXPECT_FALSE(DirectoryExists(file));
  EXPECT_FALSE(FileExists(folder + "missing.txt"));
  EXPECT_FALSE(DirectoryExists(folder + "missing\\"));
  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(DirectoryExists(""));
}

}  // namespace
