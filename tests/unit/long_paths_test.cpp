// Paths at and beyond 259 characters in the folder copy: the copy list holds them whole,
// copies land under their full names or not at all (never under a name cut short), and
// nothing crashes.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "support/failure.h"
#include "support/line_file.h"
#include "test_machine.h"
#include "transfer/folder_copy.h"

namespace {

using test_machine::ListTree;
using test_machine::PutFile;
using test_machine::ReadFile;

const std::string kListPath = "C:\\TEMP\\CopyList.lis";

std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2) {
    lines.push_back(bytes.substr(at, end - at));
  }
  lines.push_back(bytes.substr(at));
  return lines;
}

// A file name of `length` characters, distinct for each length.
std::string NameOfLength(size_t length) {
  std::string name(length - 4, 'n');
  name.replace(0, std::to_string(length).size(), std::to_string(length));
  return name + ".dat";
}

// The package's folder is shorter than the product's, as C:\Pkg\ is beside C:\WINDOWS\<key>\.
class LongPaths : public testing::Test {
 protected:
  void SetUp() override {
    PendingIoError = 0;
    const std::string root = test_machine::FreshFolder();
    source_ = root + "p\\Content\\";
    destination_ = root + "installed product folder\\Content\\";
    test_machine::MakeFolder(source_);
    test_machine::MakeFolder(destination_);
  }
  void TearDown() override { PendingIoError = 0; }

  // Puts a file into the source whose destination path is `length` characters long.
  std::string PutWithDestinationLength(size_t length) {
    const std::string name = NameOfLength(length - destination_.size());
    EXPECT_EQ((destination_ + name).size(), length);
    PutFile(source_ + name, "bytes of " + std::to_string(length));
    return name;
  }

  std::string source_, destination_;
};

TEST_F(LongPaths, DestinationsOf259260And300CharactersAreListedWholeAndNeverCutShort) {
  ASSERT_LT(destination_.size() + 5, 259u);
  ASSERT_LE(300 - destination_.size(), 255u) << "a file name may have 255 characters";
  std::vector<std::string> names;
  for (size_t length : {259u, 260u, 300u}) {
    names.push_back(PutWithDestinationLength(length));
  }
  names.push_back("short.txt");
  PutFile(source_ + "short.txt", "short");

  EXPECT_NO_THROW(CopyFolder(source_, destination_));

  // One Copy record per file with both paths whole, then "end".
  std::vector<std::string> lines = Lines(ReadFile(kListPath).value_or("<no list>"));
  ASSERT_EQ(lines.size(), 3 * names.size() + 1);
  EXPECT_EQ(lines.back(), "end");
  std::set<std::string> sources, destinations;
  for (size_t i = 0; i + 2 < lines.size(); i += 3) {
    EXPECT_EQ(lines[i], "Copy");
    sources.insert(lines[i + 1]);
    destinations.insert(lines[i + 2]);
  }
  std::set<std::string> want_sources, want_destinations;
  for (const std::string& name : names) {
    want_sources.insert(source_ + name);
    want_destinations.insert(destination_ + name);
  }
  EXPECT_EQ(sources, want_sources);
  EXPECT_EQ(destinations, want_destinations);

  // 259 characters are a path every platform takes: copied whole.
  EXPECT_EQ(ReadFile(destination_ + names[0]), "bytes of 259");
  EXPECT_EQ(ReadFile(destination_ + "short.txt"), "short");
  // Longer ones a platform may refuse in silence; what is there is whole and under its full
  // name, and nothing else is there.
  for (size_t i = 1; i < 3; ++i) {
    std::optional<std::string> copied = ReadFile(destination_ + names[i]);
    if (copied.has_value()) {
      EXPECT_EQ(*copied, "bytes of " + std::to_string((destination_ + names[i]).size()));
    }
  }
  for (const std::string& entry : ListTree(destination_)) {
    EXPECT_NE(std::find(names.begin(), names.end(), entry), names.end())
        << "a name that is no file of the package: " << entry;
  }
}

TEST_F(LongPaths, AFolderBeyond259CharactersIsListedWithItsFullPath) {
  // A subfolder whose destination path is 270 characters, holding one file.
  const std::string folder = NameOfLength(270 - 1 - destination_.size());
  ASSERT_LE(folder.size(), 255u);
  PutFile(source_ + folder + "\\in.txt", "inside");

  // Windows makes no folder whose path reaches 248 characters: the copy ends at its MD record
  // with the range error, as the package check's long-folder finding warns.
  const std::optional<CopyFailure> failure = CopyFolder(source_, destination_);
  ASSERT_NE(failure, std::nullopt);
  EXPECT_EQ(failure->path, source_ + folder + "\\");
  EXPECT_EQ(failure->code, ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(PendingIoError, 0);

  // The folder is known as a folder on this machine, so it gets its MD record and its
  // file's Copy record, every path whole.
  std::vector<std::string> lines = Lines(ReadFile(kListPath).value_or("<no list>"));
  const std::vector<std::string> want = {
      "MD",   source_ + folder + "\\",       destination_ + folder + "\\",
      "Copy", source_ + folder + "\\in.txt", destination_ + folder + "\\in.txt",
      "end"};
  EXPECT_EQ(lines, want);
  EXPECT_EQ((destination_ + folder + "\\").size(), 270u);
  std::vector<std::string> tree = ListTree(destination_);
  EXPECT_TRUE(tree.empty() ||
              tree == (std::vector<std::string>{folder + "\\", folder + "\\in.txt"}))
      << testing::PrintToString(tree);
  if (!tree.empty()) {
    EXPECT_EQ(ReadFile(destination_ + folder + "\\in.txt"), "inside");
  }
}

}  // namespace
