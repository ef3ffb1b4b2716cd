// Files that are not text, read by LineFile, by the package readers and by the copy list:
// every byte value, NUL bytes, no line end at all, 10 MiB on one line. Each is read to its
// end without a failure, and each line comes out whole, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package/package_files.h"
#include "platform/platform.h"
#include "support/folders.h"
#include "support/line_file.h"
#include "test_machine.h"
#include "transfer/folder_copy.h"

namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

constexpr size_t kTenMiB = size_t{10} << 20;

// Bytes 0 to 255 in order: LF at 10, a CR at 13 that no LF follows, Ctrl-Z at 26.
std::string EveryByte() {
  std::string bytes;
  for (int value = 0; value < 256; ++value) {
    bytes += static_cast<char>(value);
  }
  return bytes;
}

// Bytes `from` to `to`, both included, without those in `dropped`.
std::string ByteRange(int from, int to, int dropped = -1) {
  std::string bytes;
  for (int value = from; value <= to; ++value) {
    if (value != dropped) {
      bytes += static_cast<char>(value);
    }
  }
  return bytes;
}

// Reads the file holding `bytes` to the end of its text and two reads past it, asking
// AtEndOfText before each read and checking every step. The lines before the end.
Lines ReadWhole(const std::string& bytes) {
  std::string path = test_machine::FreshFolder() + "hostile.txt";
  test_machine::PutFile(path, bytes);
  LineFile file(path);
  OpenForReading(file);
  CheckIo();
  Lines lines;
  while (!AtEndOfText(file)) {
    CheckIo();
    lines.push_back(ReadNextLine(file));
    CheckIo();
  }
  for (int past = 0; past < 2; ++past) {
    EXPECT_EQ(ReadNextLine(file), "");
    EXPECT_TRUE(AtEndOfText(file));
  }
  CloseLineFile(file);
  CheckIo();
  return lines;
}

TEST(HostileLineFile, EveryByteValueSplitsOnlyAtItsLineEndsAndStopsAtCtrlZ) {
  EXPECT_EQ(ReadWhole(EveryByte()), (Lines{ByteRange(0, 9), ByteRange(11, 25, 13)}));
}

TEST(HostileLineFile, NulBytesAreOrdinaryBytesOfTheLine) {
  EXPECT_EQ(ReadWhole(std::string(1000, '\0')), (Lines{std::string(1000, '\0')}));
  EXPECT_EQ(ReadWhole("\0\r\n\0\0\n\0"s), (Lines{"\0"s, "\0\0"s, "\0"s}));
}

TEST(HostileLineFile, TenMebibytesWithoutALineEndAreOneLine) {
  std::string huge(kTenMiB, 'h');
  huge[kTenMiB / 2] = '\0';
  EXPECT_EQ(ReadWhole(huge), (Lines{huge}));
}

TEST(HostileLineFile, TenMebibytesOfLoneCrsAreOneEmptyLine) {
  EXPECT_EQ(ReadWhole(std::string(kTenMiB, '\r')), (Lines{""}));
}

// The package folder of each test, holding set.inf with the given bytes.
std::string PackageWithSetFile(const std::string& bytes) {
  std::string folder = test_machine::FreshFolder();
  test_machine::PutFile(folder + "set.inf", bytes);
  return folder;
}

TEST(HostileSetFile, BinaryBytesGiveLineOneAndAnEmptyList) {
  // Line 2 is the rest up to Ctrl-Z; nothing is left for the list.
  std::string package = PackageWithSetFile(EveryByte());
  EXPECT_EQ(ReadContentFolder(package), ByteRange(0, 9));
  EXPECT_EQ(GetLastSupportedVersion(package), "");
  EXPECT_TRUE(FindSupportedVersion(package, "").found);
  VersionScan scan = FindSupportedVersion(package, ByteRange(11, 25, 13));
  EXPECT_FALSE(scan.found);
  EXPECT_EQ(scan.last_listed_version, "");
}

TEST(HostileSetFile, EntriesWithNulBytesAreComparedWhole) {
  std::string package = PackageWithSetFile("\0Q\r\n\0\r\n1\0.0\r\n[end]\0\r\n[end]\r\n9\r\n"s);
  EXPECT_EQ(ReadContentFolder(package), "\0Q"s);
  EXPECT_EQ(GetLastSupportedVersion(package), "[end]\0"s);
  VersionScan cut = FindSupportedVersion(package, "1");
  EXPECT_FALSE(cut.found);
  EXPECT_EQ(cut.last_listed_version, "[end]\0"s);
  EXPECT_TRUE(FindSupportedVersion(package, "1\0.0"s).found);
  EXPECT_FALSE(FindSupportedVersion(package, "9").found);
}

TEST(HostileSetFile, ANulFileIsOneLineAndNoList) {
  std::string nuls(4096, '\0');
  std::string package = PackageWithSetFile(nuls);
  EXPECT_EQ(ReadContentFolder(package), nuls);
  EXPECT_EQ(GetLastSupportedVersion(package), "");
  EXPECT_FALSE(FindSupportedVersion(package, nuls).found);
}

TEST(HostileSetFile, TenMebibyteLinesReadWhole) {
  std::string huge(kTenMiB, 'v');
  EXPECT_EQ(ReadContentFolder(PackageWithSetFile(huge)), huge);
  // The same length as the entry but one byte different at the end is no match.
  std::string package = PackageWithSetFile("Quests\r\nx\r\n1.00\r\n" + huge);
  EXPECT_EQ(GetLastSupportedVersion(package), huge);
  EXPECT_TRUE(FindSupportedVersion(package, huge).found);
  std::string near_miss = huge;
  near_miss.back() = 'w';
  VersionScan scan = FindSupportedVersion(package, near_miss);
  EXPECT_FALSE(scan.found);
  EXPECT_EQ(scan.last_listed_version.size(), kTenMiB);
}

// options.inf beside this test program, as for the updater (see package_files_test.cpp).
class HostileOptionsFile : public testing::Test {
 protected:
  void Put(const std::string& bytes) { test_machine::PutFile(path_, bytes); }
  void TearDown() override { test_machine::Remove(path_); }
  std::string path_ = GetPackageDir() + "options.inf";
};

TEST_F(HostileOptionsFile, TheKeyIsLineTwoWhateverTheBytes) {
  Put(EveryByte());
  EXPECT_EQ(ReadProductKey(), ByteRange(11, 25, 13));
  Put(std::string(4096, '\0'));
  EXPECT_EQ(ReadProductKey(), "");
  Put("\0\nKey\0 x\r\n"s);
  EXPECT_EQ(ReadProductKey(), "Key\0 x"s);
}

TEST_F(HostileOptionsFile, ATenMebibyteFirstLineIsPassedOver) {
  Put(std::string(kTenMiB, 'o') + "\r\nKey\r\n");
  EXPECT_EQ(ReadProductKey(), "Key");
  Put("\r\n" + std::string(kTenMiB, 'k'));
  EXPECT_EQ(ReadProductKey(), std::string(kTenMiB, 'k'));
}

// A copy list of the given bytes carried out in a fresh folder that is also the list's
// folder; the folder's tree afterwards, without the list.
std::vector<std::string> CarryOutList(const std::string& bytes) {
  std::string folder = test_machine::FreshFolder();
  test_machine::PutFile(folder + "list.lis", bytes);
  LineFile list(folder + "list.lis");
  OpenForReading(list);
  CheckIo();
  CarryOutCopyList(list);
  CloseLineFile(list);
  CheckIo();
  std::vector<std::string> tree = test_machine::ListTree(folder);
  std::erase(tree, "list.lis");
  return tree;
}

TEST(HostileCopyList, ListsWithoutKeywordsDoNothing) {
  test_machine::FaultPlan plan;
  EXPECT_EQ(CarryOutList(EveryByte()), std::vector<std::string>{});
  EXPECT_EQ(CarryOutList(std::string(4096, '\0')), std::vector<std::string>{});
  EXPECT_EQ(CarryOutList(std::string(kTenMiB, 'M')), std::vector<std::string>{});
  // Keywords with NUL bytes after them are no keywords.
  EXPECT_EQ(CarryOutList("MD\0\r\nC:\\a\\\r\nC:\\b\\\r\nend"s), std::vector<std::string>{});
  EXPECT_EQ(plan.Calls("CreateDirectoryA"), 0);
  EXPECT_EQ(plan.Calls("CopyFileA"), 0);
}

}  // namespace
