// MoveFileExA and MoveFileA within a drive, RemoveDirectoryA and Sleep: results, what they
// replace, the handles that stand in their way, and error codes.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/platform.h"
#include "test_machine.h"

namespace {

using test_machine::NewScratchFolder;
using test_machine::ReadWholeFile;
using test_machine::WriteWholeFile;

// Where Wine lets a rename through that Windows refuses, the cases say both; the emulation
// follows Windows.
constexpr bool kUnderWine = CONFORMANCE_UNDER_WINE;

DWORD MoveError(const std::string& from, const std::string& to, DWORD flags) {
  SetLastError(0xDEAD);
  return MoveFileExA(from.c_str(), to.c_str(), flags) ? 0 : GetLastError();
}

DWORD RemoveError(const std::string& path) {
  SetLastError(0xDEAD);
  return RemoveDirectoryA(path.c_str()) ? 0 : GetLastError();
}

bool IsFolder(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

HANDLE Hold(const std::string& path, DWORD share) {
  return CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The name under which a folder listing shows the entry `name` of `folder`, any case.
std::string ListedName(const std::string& folder, const std::string& name) {
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA((folder + name).c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    return "<missing>";
  }
  FindClose(search);
  return data.cFileName;
}

constexpr DWORD kFlagSets[] = {0, MOVEFILE_REPLACE_EXISTING, MOVEFILE_COPY_ALLOWED,
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH};

TEST(FileMove, RenamesAFileToAFreeNameWithAnyFlags) {
  std::string folder = NewScratchFolder();
  ASSERT_TRUE(CreateDirectoryA((folder + "sub").c_str(), nullptr));
  for (DWORD flags : kFlagSets) {
    ASSERT_TRUE(WriteWholeFile(folder + "from.txt", "moved bytes"));
    EXPECT_EQ(MoveError(folder + "from.txt", folder + "sub\\to.txt", flags), 0u) << flags;
    EXPECT_FALSE(Exists(folder + "from.txt"));
    EXPECT_EQ(ReadWholeFile(folder + "sub\\to.txt"), "moved bytes");
    ASSERT_TRUE(DeleteFileA((folder + "sub\\to.txt").c_str()));
  }
  ASSERT_TRUE(WriteWholeFile(folder + "plain.txt", "plain"));
  EXPECT_TRUE(MoveFileA((folder + "plain.txt").c_str(), (folder + "renamed.txt").c_str()));
  EXPECT_EQ(ReadWholeFile(folder + "renamed.txt"), "plain");
}

TEST(FileMove, ReplacesAnExistingFileOnlyWhenAskedTo) {
  std::string folder = NewScratchFolder();
  ASSERT_TRUE(WriteWholeFile(folder + "new.txt", "new"));
  ASSERT_TRUE(WriteWholeFile(folder + "old.txt", "old"));
  EXPECT_EQ(MoveError(folder + "new.txt", folder + "old.txt", 0),
            static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  SetLastError(0xDEAD);
  EXPECT_FALSE(MoveFileA((folder + "new.txt").c_str(), (folder + "old.txt").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(ReadWholeFile(folder + "new.txt"), "new");
  EXPECT_EQ(ReadWholeFile(folder + "old.txt"), "old");

  EXPECT_EQ(MoveError(folder + "new.txt", folder + "old.txt", MOVEFILE_REPLACE_EXISTING), 0u);
  EXPECT_FALSE(Exists(folder + "new.txt"));
  EXPECT_EQ(ReadWholeFile(folder + "old.txt"), "new");
}

TEST(FileMove, NeverReplacesAFolderOrAReadOnlyFile) {
  std::string folder = NewScratchFolder();
  ASSERT_TRUE(WriteWholeFile(folder + "file.txt", "file"));
  ASSERT_TRUE(CreateDirectoryA((folder + "sub").c_str(), nullptr));
  HANDLE locked = CreateFileA((folder + "locked.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_READONLY, nullptr);
  ASSERT_NE(locked, INVALID_HANDLE_VALUE);
  CloseHandle(locked);
  EXPECT_EQ(MoveError(folder + "file.txt", folder + "sub", 0),
            static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(MoveError(folder + "file.txt", folder + "sub", MOVEFILE_REPLACE_EXISTING),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(IsFolder(folder + "sub"));
  // Windows replaces no read-only file, as it deletes none; Wine replaces it.
  DWORD error = MoveError(folder + "file.txt", folder + "locked.txt", MOVEFILE_REPLACE_EXISTING);
  EXPECT_EQ(error, kUnderWine ? 0u : static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(ReadWholeFile(folder + "locked.txt"), kUnderWine ? "file" : "");
  EXPECT_EQ(ReadWholeFile(folder + "file.txt"), kUnderWine ? "<missing>" : "file");
}

TEST(FileMove, MissingSourcesAndFolders) {
  std::string folder = NewScratchFolder();
  ASSERT_TRUE(WriteWholeFile(folder + "file.txt", "x"));
  EXPECT_EQ(MoveError(folder + "missing.txt", folder + "to.txt", 0),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(MoveError(folder + "no\\missing.txt", folder + "to.txt", 0),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(MoveError(folder + "file.txt", folder + "no\\to.txt", 0),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(MoveError("", folder + "to.txt", 0), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(MoveError(folder + "file.txt", "", 0), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(ReadWholeFile(folder + "file.txt"), "x");
}

TEST(FileMove, ARenameToItsOwnNameChangesOnlyTheLetterCase) {
  std::string folder = NewScratchFolder();
  ASSERT_TRUE(WriteWholeFile(folder + "name.txt", "x"));
  EXPECT_EQ(MoveError(folder + "name.txt", folder + "name.txt", 0), 0u);
  EXPECT_EQ(MoveError(folder + "name.txt", folder + "Name.TXT", 0), 0u);
  // Windows gives the file the new spelling; Wine keeps the host name as it was.
  EXPECT_EQ(ListedName(folder, "name.txt"), kUnderWine ? "name.txt" : "Name.TXT");
  EXPECT_EQ(ReadWholeFile(folder + "name.txt"), "x");
}

TEST(FileMove, AHandleThatDoesNotShareDeletionHoldsTheSource) {
  std::string folder = NewScratchFolder();
  ASSERT_TRUE(WriteWholeFile(folder + "held.txt", "held"));
  HANDLE reader = Hold(folder + "held.txt", FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(MoveError(folder + "held.txt", folder + "moved.txt", 0),
            static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(reader);
  EXPECT_EQ(ReadWholeFile(folder + "held.txt"), "held");

  // One that lets others delete lets the file be renamed under it.
  HANDLE sharing = Hold(folder + "held.txt", FILE_SHARE_READ | FILE_SHARE_DELETE);
  ASSERT_NE(sharing, INVALID_HANDLE_VALUE);
  EXPECT_EQ(MoveError(folder + "held.txt", folder + "moved.txt", 0), 0u);
  CloseHandle(sharing);
  EXPECT_EQ(ReadWholeFile(folder + "moved.txt"), "held");
}

TEST(FileMove, AnOpenTargetIsNotReplaced) {
  std::string folder = NewScratchFolder();
  ASSERT_TRUE(WriteWholeFile(folder + "new.txt", "new"));
  ASSERT_TRUE(WriteWholeFile(folder + "target.txt", "target"));
  // Whatever the handle shares: a file in use is not replaced by a rename.
  for (DWORD share : {FILE_SHARE_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}) {
    HANDLE reader = Hold(folder + "target.txt", share);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    DWORD error = MoveError(folder + "new.txt", folder + "target.txt", MOVEFILE_REPLACE_EXISTING);
    CloseHandle(reader);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << share;
    EXPECT_EQ(ReadWholeFile(folder + "target.txt"), "target");
    EXPECT_EQ(ReadWholeFile(folder + "new.txt"), "new");
  }
}

TEST(FolderMove, RenamesAFolderWithItsTreeWithinTheDrive) {
  std::string folder = NewScratchFolder();
  ASSERT_TRUE(CreateDirectoryA((folder + "stage").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((folder + "stage\\Maps").c_str(), nullptr));
  ASSERT_TRUE(WriteWholeFile(folder + "stage\\Maps\\m1.map", "map"));
  ASSERT_TRUE(WriteWholeFile(folder + "stage\\readme.txt", "readme"));
  EXPECT_EQ(MoveError(folder + "stage", folder + "Content", 0), 0u);
  EXPECT_FALSE(Exists(folder + "stage"));
  EXPECT_EQ(ReadWholeFile(folder + "Content\\Maps\\m1.map"), "map");
  EXPECT_EQ(ReadWholeFile(folder + "Content\\readme.txt"), "readme");
  EXPECT_EQ(ListedName(folder, "content"), "Content");
  // A trailing separator names the folder too; MoveFileA moves folders as well.
  EXPECT_EQ(MoveError(folder + "Content\\", folder + "Again", MOVEFILE_REPLACE_EXISTING), 0u);
  EXPECT_TRUE(MoveFileA((folder + "Again").c_str(), (folder + "Last").c_str()));
  EXPECT_EQ(ReadWholeFile(folder + "Last\\Maps\\m1.map"), "map");
}

TEST(FolderMove, NeverReplacesWhatIsThere) {
  std::string folder = NewScratchFolder();
  for (bool onto_folder : {true, false}) {
    std::string stage = folder + (onto_folder ? "stage for a folder" : "stage for a file");
    std::string taken = folder + (onto_folder ? "empty" : "file.txt");
    ASSERT_TRUE(CreateDirectoryA(stage.c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(stage + "\\a.txt", "a"));
    ASSERT_TRUE(onto_folder ? CreateDirectoryA(taken.c_str(), nullptr) != FALSE
                            : WriteWholeFile(taken, "file"));
    EXPECT_EQ(MoveError(stage, taken, 0), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << taken;
    // Windows' documentation: MOVEFILE_REPLACE_EXISTING "cannot be used if lpNewFileName or
    // lpExistingFileName names a directory". Wine refuses to replace a folder, and replaces a
    // file with the folder.
    DWORD error = MoveError(stage, taken, MOVEFILE_REPLACE_EXISTING);
    if (kUnderWine && !onto_folder) {
      EXPECT_EQ(error, 0u);
      continue;
    }
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << taken;
    EXPECT_EQ(ReadWholeFile(stage + "\\a.txt"), "a");
    EXPECT_EQ(onto_folder ? IsFolder(taken) : ReadWholeFile(taken) == "file", true) << taken;
  }
}

TEST(FolderMove, AFileHeldInsideWithoutDeleteSharingKeepsTheFolderWhereItIs) {
  std::string folder = NewScratchFolder();
  ASSERT_TRUE(CreateDirectoryA((folder + "stage").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((folder + "stage\\deep").c_str(), nullptr));
  ASSERT_TRUE(WriteWholeFile(folder + "stage\\deep\\quest.qst", "quest"));
  HANDLE scanner = Hold(folder + "stage\\deep\\quest.qst", FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_NE(scanner, INVALID_HANDLE_VALUE);
  DWORD error = MoveError(folder + "stage", folder + "Content", 0);
  CloseHandle(scanner);
  if (kUnderWine) {
    // Wine renames the host folder whatever is open inside it.
    EXPECT_EQ(error, 0u);
    ASSERT_EQ(MoveError(folder + "Content", folder + "stage", 0), 0u);
  } else {
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  EXPECT_FALSE(Exists(folder + "Content"));
  // Once the handle is closed the folder moves.
  EXPECT_EQ(MoveError(folder + "stage", folder + "Content", 0), 0u);
  EXPECT_EQ(ReadWholeFile(folder + "Content\\deep\\quest.qst"), "quest");
}

TEST(FolderRemove, RemovesEmptyFoldersOnly) {
  std::string folder = NewScratchFolder();
  ASSERT_TRUE(CreateDirectoryA((folder + "empty").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((folder + "full").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((folder + "full\\inner").c_str(), nullptr));
  ASSERT_TRUE(WriteWholeFile(folder + "file.txt", "x"));

  EXPECT_EQ(RemoveError(folder + "empty"), 0u);
  EXPECT_FALSE(Exists(folder + "empty"));
  EXPECT_EQ(RemoveError(folder + "empty"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(RemoveError(folder + "no\\empty"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(RemoveError(folder + "full"), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  EXPECT_EQ(RemoveError(folder + "file.txt"), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_TRUE(IsFolder(folder + "full\\inner"));
  EXPECT_EQ(ReadWholeFile(folder + "file.txt"), "x");

  EXPECT_EQ(RemoveError(folder + "full\\inner\\"), 0u);
  EXPECT_EQ(RemoveError(folder + "full"), 0u);
  EXPECT_FALSE(Exists(folder + "full"));
}

TEST(ThreadSleep, WaitsAtLeastAsLongAsAsked) {
  auto started = std::chrono::steady_clock::now();
  Sleep(0);
  Sleep(60);
  auto waited = std::chrono::steady_clock::now() - started;
  // Windows counts a wait in its timer's ticks (15.6 ms by default): the bound is a tick below
  // what was asked.
  EXPECT_GE(waited, std::chrono::milliseconds(44));
  EXPECT_LT(waited, std::chrono::seconds(5));
}

}  // namespace
