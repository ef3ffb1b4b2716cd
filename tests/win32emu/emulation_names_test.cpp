// The emulation's side of names: the code pages' conversions and letter case, Windows' path
// rules on the text, the choice among host names that differ only in case, and the memory of
// a folder's names seeing another process's new names.
#include <gtest/gtest.h>

#include <unistd.h>
#include <string>

#include "platform/platform.h"
#include "test_machine.h"
#include "win32emu/machine/machine.h"
#include "win32emu/machine/names.h"
#include "win32emu/machine/path_rules.h"

namespace {

using test_machine::NewHostFolder;
using test_machine::ReadHostFile;
using test_machine::Windows;
using test_machine::WriteHostFile;

TEST(EmulatedNames, CodePagesConvertBothWaysAndFoldTheirLetters) {
  struct Row {
    unsigned code_page;
    const char* ansi;
    const char* host;   // UTF-8
    const char* upper;  // UTF-8 of the same name in upper case
  };
  for (const Row& row : {
           Row{1252, "caf\xe9 \x80\x9f", "caf\xc3\xa9 \xe2\x82\xac\xc5\xb8", "CAF\xc3\x89"},
           Row{1252, "\xff\xe6", "\xc3\xbf\xc3\xa6", "\xc5\xb8\xc3\x86"},
           Row{1250, "\x9a\xb3\xf8", "\xc5\xa1\xc5\x82\xc5\x99", "\xc5\xa0\xc5\x81\xc5\x98"},
           Row{1251, "\xef\xe5\xf9\xe5\xf0\xe0", "\xd0\xbf\xd0\xb5\xd1\x89\xd0\xb5\xd1\x80\xd0\xb0",
               "\xd0\x9f\xd0\x95\xd0\xa9\xd0\x95\xd0\xa0\xd0\x90"},
           Row{1251, "\xb8\xa2", "\xd1\x91\xd1\x9e", "\xd0\x81\xd0\x8e"},
       }) {
    SCOPED_TRACE(row.host);
    EXPECT_EQ(emu::HostFromAnsi(row.ansi, row.code_page), row.host);
    EXPECT_EQ(emu::AnsiFromHost(row.host, row.code_page), row.ansi);
    std::string upper = row.upper;
    std::string host = row.host;
    EXPECT_EQ(emu::CaseBlindKey(host).substr(0, upper.size()), emu::CaseBlindKey(upper));
  }
  // A character the code page lacks is '?', with no best fit; so is each byte of an invalid
  // UTF-8 sequence.
  EXPECT_EQ(emu::AnsiFromHost("\xd0\x9f\xd0\xb5.qst", 1252), "??.qst");
  EXPECT_EQ(emu::AnsiFromHost("caf\xc3\xa9", 1251), "caf?");
  EXPECT_EQ(emu::AnsiFromHost("caf\xe9\xc3.", 1252), "caf??.");
  EXPECT_EQ(emu::MachineCodePage(), 1252u);  // no <root>/codepage on the test machine
}

TEST(EmulatedNames, PathTextFollowsWindowsRules) {
  struct Row {
    const char* path;
    const char* trimmed;
    DWORD error;
  };
  for (const Row& row : {
           Row{"C:\\a.\\b..\\c. .", "C:\\a\\b..\\c", 0},
           Row{"C:\\dir \\", "C:\\dir \\", 0},
           Row{"C:\\x\\..\\.", "C:\\x\\..\\.", 0},
           Row{"C:\\x\\nul.txt", "C:\\x\\nul.txt", ERROR_FILE_NOT_FOUND},
           Row{"C:\\x\\Com3 .log.", "C:\\x\\Com3 .log", ERROR_FILE_NOT_FOUND},
           Row{"C:\\lpt1\\y", "C:\\lpt1\\y", ERROR_PATH_NOT_FOUND},
           Row{"C:\\com10", "C:\\com10", 0},
           Row{"C:\\a:b", "C:\\a:b", ERROR_INVALID_NAME},
           Row{"C:/x. /y.", "C:\\x. \\y", 0},
           Row{"C:\\a\\b", "C:\\a\\b", 0},
           Row{"C:\\aux\\x\\b<", "C:\\aux\\x\\b<", ERROR_INVALID_NAME},
       }) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(emu::TrimDotsAndBlanks(row.path), row.trimmed);
    EXPECT_EQ(emu::CheckAnsiPath(row.path, 259), row.error);
  }
  EXPECT_EQ(emu::CheckAnsiPath("C:\\x\\*.?", 259, emu::LastName::kWildcards), 0u);
  EXPECT_EQ(emu::CheckAnsiPath("C:\\*\\x", 259, emu::LastName::kWildcards),
            static_cast<DWORD>(ERROR_INVALID_NAME));
  // A wildcard before the last name, or a forbidden character anywhere, outranks a device's
  // name that comes first.
  EXPECT_EQ(emu::CheckAnsiPath("C:\\con\\a?\\x", 259, emu::LastName::kWildcards),
            static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(emu::CheckAnsiPath("C:\\prn\\nul\\x|", 259), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(emu::CheckAnsiPath("C:\\prn\\x\\a*.?", 259, emu::LastName::kWildcards),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  // The calls refuse a device's name: the machine has none.
  EXPECT_EQ(GetFileAttributesA("C:\\nul.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(EmulatedNames, NamesThatDifferOnlyInCaseResolveTheSameWayEveryTime) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/readme.TXT", "lower");
  WriteHostFile(folder + "/README.txt", "upper");
  WriteHostFile(folder + "/ReadMe.txt", "mixed");
  std::string windows = Windows(folder);
  // The exact name first; else the smallest by bytes ("README.txt").
  EXPECT_EQ(emu::HostPath((windows + "\\ReadMe.txt").c_str()), folder + "/ReadMe.txt");
  EXPECT_EQ(emu::HostPath((windows + "\\readme.txt").c_str()), folder + "/README.txt");
  EXPECT_EQ(test_machine::ReadWholeFile(windows + "\\README.TXT"), "upper");
  // With the folder's names remembered, the exact name still comes first.
  EXPECT_EQ(emu::HostPath((windows + "\\ReadMe.txt").c_str()), folder + "/ReadMe.txt");
  // A name another process makes after the folder's names were read is found too.
  EXPECT_EQ(emu::HostPath((windows + "\\NEW.txt").c_str()), folder + "/NEW.txt");
  usleep(20000);  // past the file system's clock tick, so that the folder's time moves
  WriteHostFile(folder + "/new.TXT", "new");
  EXPECT_EQ(test_machine::ReadWholeFile(windows + "\\NEW.txt"), "new");
  EXPECT_EQ(ReadHostFile(folder + "/new.TXT"), "new");
}

TEST(EmulatedNames, AFolderMadeHereHoldsNoNamesUntilSomeAreMadeThereByAnyProcess) {
  std::string folder = NewHostFolder();
  std::string windows = Windows(folder);
  WriteHostFile(folder + "/source", "ours");
  ASSERT_TRUE(CreateDirectoryA((windows + "\\Made").c_str(), nullptr));
  EXPECT_EQ(emu::HostPath((windows + "\\Made\\Copy.TXT").c_str()), folder + "/Made/Copy.TXT");
  ASSERT_TRUE(
      CopyFileA((windows + "\\source").c_str(), (windows + "\\Made\\Own.txt").c_str(), TRUE));
  EXPECT_EQ(emu::HostPath((windows + "\\Made\\OWN.TXT").c_str()), folder + "/Made/Own.txt");
  // Another process's name there is seen by the next lookup, and by a copy that must not
  // write over a file.
  usleep(20000);  // past the file system's clock tick, so that the folder's time moves
  WriteHostFile(folder + "/Made/copy.txt", "theirs");
  EXPECT_EQ(emu::HostPath((windows + "\\Made\\Copy.TXT").c_str()), folder + "/Made/copy.txt");
  EXPECT_FALSE(
      CopyFileA((windows + "\\source").c_str(), (windows + "\\Made\\COPY.txt").c_str(), TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(ReadHostFile(folder + "/Made/copy.txt"), "theirs");
}

TEST(EmulatedNames, CopiesIntoAFolderOfOwnNewNamesStillSeeWhatOthersChangedThere) {
  std::string folder = NewHostFolder();
  std::string windows = Windows(folder);
  WriteHostFile(folder + "/source", "ours");
  const std::string source = windows + "\\source";
  ASSERT_TRUE(CreateDirectoryA((windows + "\\Made").c_str(), nullptr));
  ASSERT_TRUE(CopyFileA(source.c_str(), (windows + "\\Made\\one.txt").c_str(), TRUE));
  // Another process renames the folder to another case, after a look at the folder that holds
  // it has taken the new folder as this process's own: the next copy finds it there.
  EXPECT_EQ(emu::HostPath(source.c_str()), folder + "/source");
  usleep(20000);  // past the file system's clock tick, so that the folder's time moves
  ASSERT_EQ(rename((folder + "/Made").c_str(), (folder + "/MADE").c_str()), 0);
  ASSERT_TRUE(CopyFileA(source.c_str(), (windows + "\\Made\\two.txt").c_str(), TRUE));
  EXPECT_EQ(ReadHostFile(folder + "/MADE/two.txt"), "ours");
  // A name asked about with no new name of this process since is looked for again: the one
  // another process made after the last copy is found.
  EXPECT_EQ(emu::HostPathOfNewName((windows + "\\MADE\\three.txt").c_str()),
            folder + "/MADE/three.txt");
  WriteHostFile(folder + "/MADE/Four.txt", "theirs");
  EXPECT_EQ(emu::HostPath((windows + "\\MADE\\FOUR.txt").c_str()), folder + "/MADE/Four.txt");
  EXPECT_FALSE(CopyFileA(source.c_str(), (windows + "\\MADE\\four.TXT").c_str(), TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(ReadHostFile(folder + "/MADE/Four.txt"), "theirs");
}

}  // namespace
