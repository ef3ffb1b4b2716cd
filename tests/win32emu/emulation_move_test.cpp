// The emulated rename and folder removal beyond what the conformance suite checks on both
// builds: drives as volumes, the handles that hold a folder, flags that are not emulated, the
// memory of folder names after a folder moved or went, links, and the fault hook.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <string>

#include "platform/platform.h"
#include "test_machine.h"
#include "win32emu/machine/machine.h"

namespace {

using test_machine::NewHostFolder;
using test_machine::ReadHostFile;
using test_machine::Windows;
using test_machine::WriteHostFile;

DWORD MoveError(const std::string& from, const std::string& to, DWORD flags) {
  SetLastError(0xDEAD);
  return MoveFileExA(Windows(from).c_str(), Windows(to).c_str(), flags) ? 0 : GetLastError();
}

HANDLE Hold(const std::string& host_path, DWORD share) {
  return CreateFileA(Windows(host_path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(EmulatedMove, AnotherDriveIsAnotherVolume) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/file", "x");
  std::string other_drive = emu::MachineRoot() + "/drive_d";
  mkdir(other_drive.c_str(), 0777);
  for (DWORD flags : {0u, MOVEFILE_COPY_ALLOWED}) {
    EXPECT_EQ(MoveError(folder + "/file", other_drive + "/file", flags),
              static_cast<DWORD>(ERROR_NOT_SAME_DEVICE));
    EXPECT_EQ(MoveError(folder, other_drive + "/folder", flags),
              static_cast<DWORD>(ERROR_NOT_SAME_DEVICE));
  }
  EXPECT_EQ(ReadHostFile(folder + "/file"), "x");
}

TEST(EmulatedMove, FlagsForAMoveAtTheNextStartAreRefused) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/file", "x");
  EXPECT_EQ(MoveError(folder + "/file", folder + "/to", MOVEFILE_DELAY_UNTIL_REBOOT),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(MoveError(folder + "/file", folder + "/to", 0x10),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(ReadHostFile(folder + "/file"), "x");
}

TEST(EmulatedMove, OnlyAHandleThatDoesNotShareDeletionHoldsAFolder) {
  std::string folder = NewHostFolder();
  ASSERT_EQ(mkdir((folder + "/stage").c_str(), 0777), 0);
  ASSERT_EQ(mkdir((folder + "/stage/a").c_str(), 0777), 0);
  ASSERT_EQ(mkdir((folder + "/stage/a/b").c_str(), 0777), 0);
  WriteHostFile(folder + "/stage/a/b/deep.qst", "deep");
  WriteHostFile(folder + "/stage/top.qst", "top");
  // This process's own handles count as any other's.
  HANDLE sharing = Hold(folder + "/stage/top.qst", FILE_SHARE_READ | FILE_SHARE_DELETE);
  ASSERT_NE(sharing, INVALID_HANDLE_VALUE);
  HANDLE holding = Hold(folder + "/stage/a/b/deep.qst", FILE_SHARE_READ);
  ASSERT_NE(holding, INVALID_HANDLE_VALUE);
  EXPECT_EQ(MoveError(folder + "/stage", folder + "/Content", 0),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(holding);
  EXPECT_EQ(MoveError(folder + "/stage", folder + "/Content", 0), 0u);
  CloseHandle(sharing);
  EXPECT_EQ(ReadHostFile(folder + "/Content/a/b/deep.qst"), "deep");
}

bool MakeFile(const std::string& host_path) {
  HANDLE made = CreateFileA(Windows(host_path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  return made != INVALID_HANDLE_VALUE && CloseHandle(made);
}

bool HostEntryIs(const std::string& host_path) {
  struct stat info;
  return lstat(host_path.c_str(), &info) == 0;
}

TEST(EmulatedMove, NamesInsideAMovedOrRemovedFolderAreForgottenAtItsOldPath) {
  std::string folder = NewHostFolder();
  ASSERT_EQ(mkdir((folder + "/stage").c_str(), 0777), 0);
  WriteHostFile(folder + "/stage/readme.txt", "old");
  // A lookup in any case makes the memory read the folder's names.
  ASSERT_NE(GetFileAttributesA(Windows(folder + "/STAGE/README.TXT").c_str()),
            INVALID_FILE_ATTRIBUTES);
  ASSERT_EQ(MoveError(folder + "/stage", folder + "/Content", 0), 0u);
  EXPECT_NE(GetFileAttributesA(Windows(folder + "/content/ReadMe.txt").c_str()),
            INVALID_FILE_ATTRIBUTES);
  // A new folder at the old path, with a name this process made in it, holds only its own
  // names: a new file takes its name as spelled, not that of the moved folder's file.
  ASSERT_TRUE(CreateDirectoryA(Windows(folder + "/stage").c_str(), nullptr));
  ASSERT_TRUE(MakeFile(folder + "/stage/new.txt"));
  ASSERT_TRUE(MakeFile(folder + "/stage/README.TXT"));
  EXPECT_TRUE(HostEntryIs(folder + "/stage/README.TXT"));
  EXPECT_FALSE(HostEntryIs(folder + "/stage/readme.txt"));
  EXPECT_EQ(ReadHostFile(folder + "/Content/readme.txt"), "old");

  // Likewise a folder removed and made again.
  ASSERT_TRUE(CreateDirectoryA(Windows(folder + "/gone").c_str(), nullptr));
  ASSERT_TRUE(MakeFile(folder + "/gone/first.txt"));
  ASSERT_NE(GetFileAttributesA(Windows(folder + "/GONE/FIRST.TXT").c_str()),
            INVALID_FILE_ATTRIBUTES);
  ASSERT_TRUE(DeleteFileA(Windows(folder + "/gone/first.txt").c_str()));
  ASSERT_TRUE(RemoveDirectoryA(Windows(folder + "/gone").c_str()));
  ASSERT_TRUE(CreateDirectoryA(Windows(folder + "/gone").c_str(), nullptr));
  ASSERT_TRUE(MakeFile(folder + "/gone/other.txt"));
  ASSERT_TRUE(MakeFile(folder + "/gone/First.Txt"));
  EXPECT_TRUE(HostEntryIs(folder + "/gone/First.Txt"));
}

TEST(EmulatedMove, TwoNamesOfOneFileBecomeOne) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/first", "one file");
  ASSERT_EQ(link((folder + "/first").c_str(), (folder + "/second").c_str()), 0);
  EXPECT_EQ(MoveError(folder + "/first", folder + "/second", 0),
            static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(MoveError(folder + "/first", folder + "/second", MOVEFILE_REPLACE_EXISTING), 0u);
  EXPECT_EQ(ReadHostFile(folder + "/first"), "<missing>");
  EXPECT_EQ(ReadHostFile(folder + "/second"), "one file");
}

TEST(EmulatedRemoveFolder, ALinkToAFolderGoesAndWhatItLeadsToStays) {
  std::string folder = NewHostFolder();
  ASSERT_EQ(mkdir((folder + "/real").c_str(), 0777), 0);
  WriteHostFile(folder + "/real/kept", "kept");
  ASSERT_EQ(symlink("real", (folder + "/link").c_str()), 0);
  EXPECT_TRUE(RemoveDirectoryA(Windows(folder + "/link").c_str()));
  struct stat info;
  EXPECT_NE(lstat((folder + "/link").c_str(), &info), 0);
  EXPECT_EQ(ReadHostFile(folder + "/real/kept"), "kept");
  SetLastError(0);
  EXPECT_FALSE(RemoveDirectoryA(""));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(EmulatedMove, InjectedFaultsFailBeforeAnything) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/file", "x");
  ASSERT_EQ(mkdir((folder + "/empty").c_str(), 0777), 0);
  test_machine::FaultPlan plan;
  plan.Fail("MoveFileExA", "file", ERROR_SHARING_VIOLATION)
      .Fail("MoveFileA", "file", ERROR_ALREADY_EXISTS)
      .Fail("RemoveDirectoryA", "empty", ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(MoveError(folder + "/file", folder + "/to", 0),
            static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  SetLastError(0);
  EXPECT_FALSE(MoveFileA(Windows(folder + "/file").c_str(), Windows(folder + "/to").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  SetLastError(0);
  EXPECT_FALSE(RemoveDirectoryA(Windows(folder + "/empty").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  Sleep(1);
  EXPECT_EQ(plan.Injected(), 3);
  EXPECT_EQ(plan.Calls("Sleep", "1"), 1);
  EXPECT_EQ(ReadHostFile(folder + "/file"), "x");
  struct stat info;
  EXPECT_EQ(stat((folder + "/empty").c_str(), &info), 0);
}

}  // namespace
