// The package's description files: which line means what, the version list scans and
// where they stop, and files that end early or are missing.
#include "package/package_files.h"

#include <gtest/gtest.h>

#include <string>

#include "support/failure.h"
#include "support/folders.h"
#include "support/line_file.h"
#include "test_machine.h"

namespace {

// A fresh package folder holding set.inf with the given bytes.
std::string PackageWithSetFile(const std::string& bytes) {
  std::string folder = test_machine::FreshFolder();
  test_machine::PutFile(folder + "set.inf", bytes);
  return folder;
}

std::string SetFile(const std::string& list) {
  return "Quests\r\nunused\r\n" + list;
}

TEST(ContentFolder, IsLineOneExactlyAsWritten) {
  EXPECT_EQ(ReadContentFolder(PackageWithSetFile("My Quests \r\nx\r\n[end]\r\n")), "My Quests ");
  EXPECT_EQ(ReadContentFolder(PackageWithSetFile("")), "");
}

TEST(FindSupportedVersion, StopsAtTheFirstEqualEntry) {
  std::string package = PackageWithSetFile(SetFile("1.00\r\n2.2\r\n[end]\r\n"));
  VersionScan found = FindSupportedVersion(package, "2.2");
  EXPECT_TRUE(found.found);
  EXPECT_EQ(found.last_listed_version, "2.2");
  VersionScan first = FindSupportedVersion(package, "1.00");
  EXPECT_TRUE(first.found);
  EXPECT_EQ(first.last_listed_version, "1.00");
}

TEST(FindSupportedVersion, ComparesWholeLinesExactly) {
  std::string package = PackageWithSetFile(SetFile("1.00\r\n2.2\r\n[end]\r\n"));
  for (const char* installed : {"2.20", "2.2 ", "2", "", "1.0"}) {
    VersionScan scan = FindSupportedVersion(package, installed);
    EXPECT_FALSE(scan.found) << installed;
    EXPECT_EQ(scan.last_listed_version, "2.2") << installed;
  }
}

TEST(FindSupportedVersion, AnEmptyListMatchesOnlyAnEmptyVersion) {
  std::string package = PackageWithSetFile(SetFile("[end]\r\n"));
  EXPECT_TRUE(FindSupportedVersion(package, "").found);
  VersionScan scan = FindSupportedVersion(package, "1.00");
  EXPECT_FALSE(scan.found);
  EXPECT_EQ(scan.last_listed_version, "");
  EXPECT_EQ(GetLastSupportedVersion(package), "");
}

TEST(FindSupportedVersion, ABlankLineIsAnEntryAndCapitalsAreNoTerminator) {
  std::string package = PackageWithSetFile(SetFile("1.00\r\n\r\n[END]\r\n[end]\r\n"));
  EXPECT_TRUE(FindSupportedVersion(package, "").found);
  EXPECT_TRUE(FindSupportedVersion(package, "[END]").found);
  EXPECT_EQ(GetLastSupportedVersion(package), "[END]");
}

TEST(FindSupportedVersion, LinesAfterTheTerminatorAreNeverEntries) {
  std::string package = PackageWithSetFile(SetFile("1.00\r\n[end]\r\n9.9\r\n"));
  VersionScan scan = FindSupportedVersion(package, "9.9");
  EXPECT_FALSE(scan.found);
  EXPECT_EQ(scan.last_listed_version, "1.00");
  EXPECT_EQ(GetLastSupportedVersion(package), "1.00");
}

TEST(VersionList, AFileThatEndsBeforeItsTerminatorEndsTheList) {
  for (const char* list : {"1.00\r\n2.2\r\n", "1.00\r\n2.2", "1.00\n2.2\x1A[end]\r\n"}) {
    std::string package = PackageWithSetFile(SetFile(list));
    EXPECT_EQ(GetLastSupportedVersion(package), "2.2") << list;
    VersionScan scan = FindSupportedVersion(package, "3.0");
    EXPECT_FALSE(scan.found);
    EXPECT_EQ(scan.last_listed_version, "2.2");
    EXPECT_TRUE(FindSupportedVersion(package, "2.2").found);
  }
  // A file of one line has no list at all.
  EXPECT_EQ(GetLastSupportedVersion(PackageWithSetFile("Quests")), "");
  EXPECT_TRUE(FindSupportedVersion(PackageWithSetFile("Quests\r\n"), "").found);
}

TEST(VersionList, AMissingSetFileIsAnIoFailure) {
  std::string package = PackageWithSetFile("x");
  DeleteFileA((package + "set.inf").c_str());
  try {
    GetLastSupportedVersion(package);
    FAIL() << "nothing raised";
  } catch (const EInOutError& error) {
    EXPECT_EQ(error.Code(), ERROR_FILE_NOT_FOUND);
  }
  EXPECT_THROW(FindSupportedVersion(package, "1"), EInOutError);
  EXPECT_THROW(ReadContentFolder(package), EInOutError);
  EXPECT_THROW(ReadContentFolder("C:\\TEMP\\no such package\\"), EInOutError);
}

// The options file sits beside the running program; for this test program that is its own
// folder with the last 9 characters of its path dropped, as for the updater.
class ProductKeyTest : public testing::Test {
 protected:
  void Put(const std::string& bytes) { test_machine::PutFile(path_, bytes); }
  void TearDown() override { test_machine::Remove(path_); }
  const std::string path_ = GetPackageDir() + "options.inf";
};

TEST_F(ProductKeyTest, IsLineTwoWithItsBlanksAndNothingAfterLine14IsRead) {
  std::string options = "installer data\r\nBraskQuestsInstallerPallum \r\n";
  for (int line = 3; line <= 20; ++line) {
    options += "line " + std::to_string(line) + "\r\n";
  }
  Put(options);
  EXPECT_EQ(ReadProductKey(), "BraskQuestsInstallerPallum ");
}

TEST_F(ProductKeyTest, AShortFileIsNoFailure) {
  Put("only one line");
  EXPECT_EQ(ReadProductKey(), "");
  Put("one\nKey");
  EXPECT_EQ(ReadProductKey(), "Key");
}

TEST_F(ProductKeyTest, AMissingFileIsFileNotFound) {
  test_machine::Remove(path_);
  try {
    ReadProductKey();
    FAIL() << "nothing raised";
  } catch (const EInOutError& error) {
    EXPECT_EQ(error.Message(), "File not found");
  }
}

}  // namespace
