// The folder copy through CopyList.lis: the list's exact bytes and record order, what the
// copy creates and replaces, and how each kind of failure ends the copy or passes.
#include "transfer/folder_copy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/failure.h"
#include "support/line_file.h"
#include "test_machine.h"
#include "transfer/file_steps.h"
#include "transfer/folder_walk.h"

namespace {

using test_machine::FileIsThere;
using test_machine::FolderIsThere;
using test_machine::ListTree;
using test_machine::PutFile;
using test_machine::ReadFile;
using Names = std::vector<std::string>;

const std::string kListPath = "C:\\TEMP\\CopyList.lis";

struct Record {
  std::string keyword;
  std::string source;
  std::string destination;
  bool operator==(const Record&) const = default;
  bool operator<(const Record& other) const { return source < other.source; }
};

void PrintTo(const Record& record, std::ostream* out) {
  *out << record.keyword << " " << record.source << " -> " << record.destination;
}

// The records of a list's bytes, which must be CR LF lines ending in "end" without a line
// end; a malformed list fails the test.
std::vector<Record> Records(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2) {
    lines.push_back(bytes.substr(at, end - at));
  }
  EXPECT_EQ(bytes.substr(at), "end") << "the list's last line";
  EXPECT_EQ(lines.size() % 3, 0u) << bytes;
  std::vector<Record> records;
  for (size_t i = 0; i + 2 < lines.size(); i += 3) {
    EXPECT_TRUE(lines[i] == "Copy" || lines[i] == "MD") << lines[i];
    records.push_back(Record{lines[i], lines[i + 1], lines[i + 2]});
  }
  return records;
}

std::vector<Record> ListRecords() {
  return Records(ReadFile(kListPath).value_or("<no list>"));
}

// The names that the platform's enumeration delivers for the folder, in its order, without
// "." and "..".
Names Enumerated(const std::string& folder) {
  Names names;
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA((folder + "*.*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    return names;
  }
  do {
    std::string name = entry.cFileName;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  } while (FindNextFileA(search, &entry));
  FindClose(search);
  return names;
}

// Depth-first pre-order: each MD record is followed at once by the records of everything
// inside that folder, and by nothing else until they are done.
void ExpectPreOrder(const std::vector<Record>& records) {
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].keyword != "MD") {
      continue;
    }
    const std::string& folder = records[i].source;
    size_t j = i + 1;
    while (j < records.size() && records[j].source.starts_with(folder)) {
      ++j;
    }
    for (size_t k = j; k < records.size(); ++k) {
      EXPECT_FALSE(records[k].source.starts_with(folder))
          << records[k].source << " is not next to the records of " << folder;
    }
    for (size_t k = 0; k < i; ++k) {
      EXPECT_FALSE(records[k].source.starts_with(folder))
          << records[k].source << " comes before the MD record of " << folder;
    }
  }
}

class FolderCopy : public testing::Test {
 protected:
  void SetUp() override {
    PendingIoError = 0;
    root_ = test_machine::FreshFolder();
    source_ = root_ + "pack\\Data\\";
    destination_ = root_ + "inst\\Data\\";
    test_machine::MakeFolder(source_);
    test_machine::MakeFolder(destination_);
  }
  void TearDown() override { PendingIoError = 0; }

  Record Copy(const std::string& relative) {
    return Record{"Copy", source_ + relative, destination_ + relative};
  }
  Record Md(const std::string& relative) {
    return Record{"MD", source_ + relative, destination_ + relative};
  }

  std::string root_, source_, destination_;
};

// Another program of the user at the list: rewrites it in place where it may open it for
// writing, copies its own list over it and replaces it where it may delete it. The number of
// changes it made.
int RivalRewrites(const std::string& list, const std::string& own_list) {
  const std::string bytes = ReadFile(own_list).value_or("");
  int changes = 0;
  HANDLE file = CreateFileA(list.c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    changes += WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
  }
  changes += CopyFileA(own_list.c_str(), list.c_str(), FALSE);
  if (DeleteFileA(list.c_str())) {
    ++changes;
    CopyFileA(own_list.c_str(), list.c_str(), TRUE);
  }
  return changes;
}

TEST_F(FolderCopy, TheListHoldsOneRecordPerEntryInEnumerationOrder) {
  PutFile(source_ + "a.txt", "A");
  PutFile(source_ + "Sub\\b.txt", "B");
  const std::string file_records = "Copy\r\n" + source_ + "a.txt\r\n" + destination_ + "a.txt\r\n";
  const std::string folder_records = "MD\r\n" + source_ + "Sub\\\r\n" + destination_ +
                                     "Sub\\\r\nCopy\r\n" + source_ + "Sub\\b.txt\r\n" +
                                     destination_ + "Sub\\b.txt\r\n";
  const Names order = Enumerated(source_);
  ASSERT_EQ(order.size(), 2u);

  CopyFolder(source_, destination_);

  const std::string expected = order[0] == "a.txt" ? file_records + folder_records + "end"
                                                   : folder_records + file_records + "end";
  EXPECT_EQ(ReadFile(kListPath), expected);
  EXPECT_EQ(ListTree(destination_), (Names{"Sub\\", "Sub\\b.txt", "a.txt"}));
  EXPECT_EQ(ReadFile(destination_ + "a.txt"), "A");
  EXPECT_EQ(ReadFile(destination_ + "Sub\\b.txt"), "B");
  EXPECT_EQ(PendingIoError, 0);
}

TEST_F(FolderCopy, RecordsFollowTheEnumerationDepthFirstWithoutSorting) {
  for (const char* name : {"k.txt", "c.txt", "x.txt", "a.txt"}) {
    PutFile(source_ + name, name);
  }
  for (const char* name : {"Two\\z.txt", "Two\\m.txt", "Two\\Deeper\\q.txt", "One\\y.txt"}) {
    PutFile(source_ + name, name);
  }
  const Names top = Enumerated(source_);
  const Names two = Enumerated(source_ + "Two\\");

  CopyFolder(source_, destination_);

  const std::vector<Record> records = ListRecords();
  ExpectPreOrder(records);
  // The top folder's entries come in the enumeration's order.
  Names top_in_list;
  for (const Record& record : records) {
    std::string relative = record.source.substr(source_.size());
    if (relative.find('\\') == std::string::npos || relative.find('\\') + 1 == relative.size()) {
      top_in_list.push_back(relative.substr(0, relative.find('\\')));
    }
  }
  EXPECT_EQ(top_in_list, top);
  Names two_in_list;
  for (const Record& record : records) {
    if (record.source.starts_with(source_ + "Two\\") && record.source != source_ + "Two\\") {
      std::string relative = record.source.substr(source_.size() + 4);
      if (relative.find('\\') == std::string::npos || relative.find('\\') + 1 == relative.size()) {
        two_in_list.push_back(relative.substr(0, relative.find('\\')));
      }
    }
  }
  EXPECT_EQ(two_in_list, two);
  std::vector<Record> sorted = records;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted,
            (std::vector<Record>{Md("One\\"), Copy("One\\y.txt"), Md("Two\\"), Md("Two\\Deeper\\"),
                                 Copy("Two\\Deeper\\q.txt"), Copy("Two\\m.txt"), Copy("Two\\z.txt"),
                                 Copy("a.txt"), Copy("c.txt"), Copy("k.txt"), Copy("x.txt")}));
  EXPECT_EQ(ListTree(destination_),
            (Names{"One\\", "One\\y.txt", "Two\\", "Two\\Deeper\\", "Two\\Deeper\\q.txt",
                   "Two\\m.txt", "Two\\z.txt", "a.txt", "c.txt", "k.txt", "x.txt"}));
  EXPECT_EQ(ReadFile(destination_ + "Two\\Deeper\\q.txt"), "Two\\Deeper\\q.txt");
}

TEST_F(FolderCopy, AnEmptyOrMissingSourceGivesAListOfJustEnd) {
  CopyFolder(source_, destination_);
  EXPECT_EQ(ReadFile(kListPath), "end");
  EXPECT_EQ(ListTree(destination_), Names{});

  CopyFolder(source_ + "missing\\", destination_);
  EXPECT_EQ(ReadFile(kListPath), "end");
  EXPECT_EQ(ListTree(destination_), Names{});
  EXPECT_EQ(PendingIoError, 0);
}

TEST_F(FolderCopy, HiddenAndReadOnlyEntriesAreCopiedLikeAnyOther) {
  PutFile(source_ + ".hidden.txt", "H");
  PutFile(source_ + ".HiddenDir\\in.txt", "HI");
  PutFile(source_ + "ro.txt", "R");
  PutFile(source_ + "RoDir\\in.txt", "RI");
  test_machine::SetReadOnly(source_ + "ro.txt", true);
  test_machine::SetReadOnly(source_ + "RoDir\\in.txt", true);
  test_machine::SetReadOnly(source_ + "RoDir", true);
  ASSERT_NE(GetFileAttributesA((source_ + "ro.txt").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  ASSERT_NE(GetFileAttributesA((source_ + ".hidden.txt").c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);

  CopyFolder(source_, destination_);

  std::vector<Record> records = ListRecords();
  ExpectPreOrder(records);
  std::sort(records.begin(), records.end());
  EXPECT_EQ(records, (std::vector<Record>{Md(".HiddenDir\\"), Copy(".HiddenDir\\in.txt"),
                                          Copy(".hidden.txt"), Md("RoDir\\"), Copy("RoDir\\in.txt"),
                                          Copy("ro.txt")}));
  EXPECT_EQ(ListTree(destination_), (Names{".HiddenDir\\", ".HiddenDir\\in.txt", ".hidden.txt",
                                           "RoDir\\", "RoDir\\in.txt", "ro.txt"}));
  EXPECT_EQ(ReadFile(destination_ + ".HiddenDir\\in.txt"), "HI");
  EXPECT_EQ(ReadFile(destination_ + "RoDir\\in.txt"), "RI");
  EXPECT_EQ(ReadFile(destination_ + "ro.txt"), "R");
  EXPECT_EQ(PendingIoError, 0);

  // The copies keep the attribute, so that no copy writes over them and no deletion takes
  // them; the staging folder's removal clears it first.
  EXPECT_NE(GetFileAttributesA((destination_ + "RoDir\\in.txt").c_str()) & FILE_ATTRIBUTE_READONLY,
            0u);
  EXPECT_FALSE(CopyFileA((source_ + "ro.txt").c_str(), (destination_ + "ro.txt").c_str(), FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DeleteFileA((destination_ + "ro.txt").c_str()));
  RemoveTree(destination_);
  EXPECT_FALSE(FolderIsThere(destination_));
  EXPECT_TRUE(FileIsThere(source_ + "ro.txt"));
}

TEST_F(FolderCopy, ADeepTreeIsCreatedTopDown) {
  std::string relative;
  std::string expected_list;
  std::vector<std::string> expected_folders;
  for (int level = 1; level <= 30; ++level) {
    relative += "L" + std::to_string(level) + "\\";
    expected_list += "MD\r\n" + source_ + relative + "\r\n" + destination_ + relative + "\r\n";
    expected_folders.push_back(destination_ + relative);
  }
  PutFile(source_ + relative + "leaf.txt", "leaf");
  expected_list += "Copy\r\n" + source_ + relative + "leaf.txt\r\n" + destination_ + relative +
                   "leaf.txt\r\nend";
  test_machine::FaultPlan plan;

  CopyFolder(source_, destination_);

  EXPECT_EQ(ReadFile(kListPath), expected_list);
  EXPECT_EQ(ReadFile(destination_ + relative + "leaf.txt"), "leaf");
  std::vector<std::string> created;
  for (const auto& call : plan.Seen()) {
    if (call.name == "CreateDirectoryA") {
      created.push_back(call.subject);
    }
  }
  EXPECT_EQ(created, expected_folders);
  EXPECT_EQ(PendingIoError, 0);
}

TEST_F(FolderCopy, ExistingDestinationFilesAreReplacedAndOthersLeftAlone) {
  PutFile(source_ + "same.txt", "from the package");
  PutFile(source_ + "Sub\\deep.txt", "deep from the package");
  PutFile(destination_ + "same.txt", "installed, and longer than the package's");
  PutFile(destination_ + "own.txt", "installed only");
  test_machine::SetReadOnly(destination_ + "own.txt", true);
  test_machine::FaultPlan plan;

  CopyFolder(source_, destination_);

  // A new file is copied in one call; one that is there takes a second, which copies over it.
  EXPECT_EQ(plan.Calls("CopyFileA", source_ + "Sub\\deep.txt"), 1);
  EXPECT_EQ(plan.Calls("CopyFileA", source_ + "same.txt"), 2);
  EXPECT_EQ(ReadFile(destination_ + "same.txt"), "from the package");
  EXPECT_EQ(ReadFile(destination_ + "own.txt"), "installed only");
  EXPECT_EQ(ReadFile(destination_ + "Sub\\deep.txt"), "deep from the package");
  EXPECT_EQ(ListTree(destination_), (Names{"Sub\\", "Sub\\deep.txt", "own.txt", "same.txt"}));
}

TEST_F(FolderCopy, AnExistingDestinationSubfolderIsUsedAndItsOtherFilesStay) {
  // A copy ended part way leaves its folders behind; the next copy goes on in them.
  for (const char* name : {"a.txt", "Sub\\in.txt", "Sub\\Deeper\\down.txt"}) {
    PutFile(source_ + name, name);
  }
  PutFile(destination_ + "Sub\\own.txt", "own");

  EXPECT_EQ(CopyFolder(source_, destination_), std::nullopt);

  EXPECT_EQ(ListTree(destination_), (Names{"Sub\\", "Sub\\Deeper\\", "Sub\\Deeper\\down.txt",
                                           "Sub\\in.txt", "Sub\\own.txt", "a.txt"}));
  EXPECT_EQ(ReadFile(destination_ + "Sub\\own.txt"), "own");
}

TEST_F(FolderCopy, TheListStaysAndASecondCopyReplacesIt) {
  PutFile(source_ + "a.txt", "A");
  CopyFolder(source_, destination_);
  ASSERT_EQ(ListRecords(), std::vector<Record>{Copy("a.txt")});

  const std::string other = source_ + "..\\Other\\";
  test_machine::MakeFolder(other);
  CopyFolder(other, destination_);

  EXPECT_EQ(ReadFile(kListPath), "end");
}

// Every program of the user may leave something at the list's name, or change the list.

TEST_F(FolderCopy, ALinkAtTheListsNameGoesAndWhatItLeadsToKeepsItsBytes) {
  PutFile(source_ + "a.txt", "A");
  PutFile(source_ + "Sub\\b.txt", "B");
  const std::string system_file = root_ + "system\\quests.dll";
  for (auto kind : {test_machine::LinkKind::kSymbolic, test_machine::LinkKind::kHard}) {
    SCOPED_TRACE(kind == test_machine::LinkKind::kSymbolic ? "symbolic link" : "hard link");
    PutFile(system_file, "a file of the system");
    test_machine::MakeLink(kListPath, system_file, kind);
    test_machine::MakeFreshFolder(destination_);

    CopyFolder(source_, destination_);

    EXPECT_EQ(ReadFile(system_file), "a file of the system");
    EXPECT_TRUE(test_machine::IsFileOfItsOwn(system_file));
    EXPECT_TRUE(test_machine::IsFileOfItsOwn(kListPath));
    EXPECT_EQ(ListRecords().size(), 3u);
    EXPECT_EQ(ListTree(destination_), (Names{"Sub\\", "Sub\\b.txt", "a.txt"}));
  }
  EXPECT_EQ(PendingIoError, 0);
}

TEST_F(FolderCopy, ANameThatCannotGoEndsTheCopyBeforeAnything) {
  PutFile(source_ + "a.txt", "A");
  enum class Name { kFolder, kReadOnlyFile, kHeldFile };
  for (Name name : {Name::kFolder, Name::kReadOnlyFile, Name::kHeldFile}) {
    SCOPED_TRACE(static_cast<int>(name));
    test_machine::Remove(kListPath);
    HANDLE holder = INVALID_HANDLE_VALUE;
    if (name == Name::kFolder) {
      test_machine::MakeFolder(kListPath);
    } else {
      PutFile(kListPath, "kept");
      test_machine::SetReadOnly(kListPath, name == Name::kReadOnlyFile);
    }
    if (name == Name::kHeldFile) {
      // Another program reads it and lets others read and write it, but not delete it.
      holder = CreateFileA(kListPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    }

    const test_machine::Outcome outcome =
        test_machine::RunInChild([&] { CopyFolder(source_, destination_); });

    EXPECT_EQ(outcome.class_name, "EInOutError");
    EXPECT_EQ(outcome.code,
              name == Name::kHeldFile ? ERROR_SHARING_VIOLATION : ERROR_ACCESS_DENIED);
    EXPECT_EQ(ListTree(destination_), Names{});
    // A list written ahead meets the name when it is to take it, and goes.
    const test_machine::Outcome ahead = test_machine::RunInChild([&] {
      PendingCopyList pending(source_, destination_);
      pending.Add(WalkedEntry{"a.txt", FILE_ATTRIBUTE_ARCHIVE});
      pending.CarryOut();
    });
    EXPECT_EQ(ahead.class_name, "EInOutError");
    EXPECT_EQ(ahead.code, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(FileIsThere("C:\\TEMP\\~~pyList.lis"));
    EXPECT_EQ(ListTree(destination_), Names{});
    if (name != Name::kFolder) {
      EXPECT_EQ(ReadFile(kListPath), "kept");
      test_machine::SetReadOnly(kListPath, false);
    }
    if (holder != INVALID_HANDLE_VALUE) {
      CloseHandle(holder);
    }
  }
  test_machine::Remove(kListPath);
}

TEST_F(FolderCopy, ANameThatAppearsWhileTheListIsMadeEndsTheCopyBeforeAnything) {
  PutFile(source_ + "a.txt", "A");
  const std::string system_file = root_ + "system\\quests.dll";
  PutFile(system_file, "a file of the system");
  test_machine::FaultPlan plan;
  plan.ActBefore(kListPath, [&](const test_machine::FaultPlan::Call& call) {
    if (call.name == "CreateFileA") {
      test_machine::MakeLink(kListPath, system_file, test_machine::LinkKind::kSymbolic);
    }
  });

  const test_machine::Outcome outcome =
      test_machine::RunInChild([&] { CopyFolder(source_, destination_); });

  EXPECT_EQ(outcome.class_name, "EInOutError");
  EXPECT_EQ(outcome.code, ERROR_FILE_EXISTS);
  EXPECT_EQ(outcome.message, "File exists");
  EXPECT_EQ(ReadFile(system_file), "a file of the system");
  EXPECT_EQ(ListTree(destination_), Names{});
  test_machine::Remove(kListPath);
}

// The other program tries at every call the copy makes on the list from its first write to
// its first read, the turn from writing to reading among them.
TEST_F(FolderCopy, NoOtherProgramChangesTheListBetweenItsPasses) {
  PutFile(source_ + "a.txt", "A");
  const std::string rival_list = root_ + "rival\\CopyList.lis";
  const std::string planted = root_ + "system\\evil.dll";
  PutFile(root_ + "rival\\evil.dll", "the other program's");
  test_machine::MakeFolder(root_ + "system\\");
  PutFile(rival_list, "Copy\r\n" + root_ + "rival\\evil.dll\r\n" + planted + "\r\nend\r\n");
  int tries = 0;
  int changes = 0;
  bool written = false;
  bool read = false;
  test_machine::FaultPlan plan;
  plan.ActBefore(kListPath, [&](const test_machine::FaultPlan::Call& call) {
    written = written || call.name == "WriteFile";
    if (written && !read) {
      read = call.name == "ReadFile";
      ++tries;
      changes += RivalRewrites(kListPath, rival_list);
    }
  });

  CopyFolder(source_, destination_);

  EXPECT_GE(tries, 2);
  EXPECT_EQ(changes, 0);
  EXPECT_FALSE(FileIsThere(planted));
  EXPECT_EQ(ListRecords(), std::vector<Record>{Copy("a.txt")});
  EXPECT_EQ(ListTree(destination_), Names{"a.txt"});
  EXPECT_EQ(PendingIoError, 0);
}

TEST_F(FolderCopy, AFailureLeftPendingEndsTheCopyBeforeAnyRecord) {
  PutFile(source_ + "a.txt", "A");
  PutFile(source_ + "Sub\\b.txt", "B");
  PutFile(kListPath, "the list of an earlier run");
  PendingIoError = ERROR_ALREADY_EXISTS;  // left by an operation before, and not checked

  const test_machine::Outcome outcome =
      test_machine::RunInChild([&] { CopyFolder(source_, destination_); });

  EXPECT_EQ(outcome.class_name, "EInOutError");
  EXPECT_EQ(outcome.code, ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadFile(kListPath), "");  // created, and nothing written to it
  EXPECT_EQ(ListTree(destination_), Names{});
}

TEST_F(FolderCopy, APendingPathNotFoundIsRaisedTheSameWay) {
  PutFile(source_ + "a.txt", "A");
  PendingIoError = ERROR_PATH_NOT_FOUND;

  const test_machine::Outcome outcome =
      test_machine::RunInChild([&] { CopyFolder(source_, destination_); });

  EXPECT_EQ(outcome.class_name, "EInOutError");
  EXPECT_EQ(outcome.code, ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(ReadFile(kListPath), "");
  EXPECT_FALSE(FileIsThere(destination_ + "a.txt"));
}

// The walk goes on past a folder that does not list in full, so that the list tells what it
// found; but the copy of part of the tree is not made, and the folder is told.
TEST_F(FolderCopy, AFolderThatDoesNotListInFullIsToldAndNothingIsCopied) {
  for (const char* folder : {"S1", "S2", "S3", "S4"}) {
    for (const char* file : {"f1.txt", "f2.txt", "f3.txt"}) {
      PutFile(source_ + folder + "\\" + file, file);
    }
  }
  PutFile(source_ + "top.txt", "T");
  // The folder walked first, so that others follow it; its first real entry is delivered by
  // the second step after "." and "..", and the third step fails.
  const Names top = Enumerated(source_);
  const auto first_folder =
      std::find_if(top.begin(), top.end(), [](const std::string& n) { return n[0] == 'S'; });
  ASSERT_NE(first_folder, top.end());
  const std::string cut = *first_folder + "\\";
  const Names cut_entries = Enumerated(source_ + cut);
  test_machine::FaultPlan plan;
  plan.Fail("FindNextFileA", source_ + cut + "*.*", ERROR_READ_FAULT, 3);

  std::optional<CopyFailure> failure;
  EXPECT_NO_THROW(failure = CopyFolder(source_, destination_));

  EXPECT_EQ(plan.Injected(), 1);
  ASSERT_NE(failure, std::nullopt);
  EXPECT_EQ(failure->path, source_ + cut);
  EXPECT_EQ(failure->code, ERROR_READ_FAULT);
  EXPECT_EQ(plan.Calls("CopyFileA"), 0);
  EXPECT_EQ(plan.Calls("CreateDirectoryA"), 0);
  std::vector<Record> records = ListRecords();
  ExpectPreOrder(records);
  std::vector<Record> expected = {Md(cut), Copy(cut + cut_entries[0]), Copy("top.txt")};
  for (const char* folder : {"S1", "S2", "S3", "S4"}) {
    if (cut != std::string(folder) + "\\") {
      expected.push_back(Md(std::string(folder) + "\\"));
      for (const char* file : {"f1.txt", "f2.txt", "f3.txt"}) {
        expected.push_back(Copy(std::string(folder) + "\\" + file));
      }
    }
  }
  std::sort(records.begin(), records.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(records, expected);
  EXPECT_EQ(ListTree(destination_), Names{});
  EXPECT_EQ(PendingIoError, 0);
  // The folder walked itself, when its listing cannot begin.
  test_machine::FaultPlan first;
  first.Fail("FindFirstFileA", source_ + "*.*", ERROR_ACCESS_DENIED);
  failure = CopyFolder(source_, destination_);
  ASSERT_NE(failure, std::nullopt);
  EXPECT_EQ(failure->path, source_);
  EXPECT_EQ(failure->code, ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadFile(kListPath), "end");
}

// A file held for a moment, as a virus scanner holds one it has just seen, is tried again; a copy
// that fails for good is told with its source path and code, and the copy ends there.
TEST_F(FolderCopy, AHeldUpFileCopyIsTriedAgainAndAFailedOneEndsTheCopy) {
  for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) {
    PutFile(source_ + name, name);
  }
  const Names order = Enumerated(source_);
  {
    test_machine::FaultPlan plan;
    plan.Fail("CopyFileA", source_ + order[1], ERROR_SHARING_VIOLATION);

    EXPECT_EQ(CopyFolder(source_, destination_), std::nullopt);

    EXPECT_EQ(plan.Injected(), 1);
    EXPECT_EQ(plan.Calls("CopyFileA", source_ + order[1]), 2);
    for (const std::string& name : order) {
      EXPECT_EQ(ReadFile(destination_ + name), name);
    }
  }
  for (const DWORD code : {DWORD{ERROR_DISK_FULL}, DWORD{ERROR_ACCESS_DENIED}}) {
    const std::string destination = destination_ + "..\\Failed" + std::to_string(code) + "\\";
    test_machine::MakeFolder(destination);
    test_machine::FaultPlan plan;
    plan.Fail("CopyFileA", source_ + order[1], code);

    const std::optional<CopyFailure> failure = CopyFolder(source_, destination);

    ASSERT_NE(failure, std::nullopt) << code;
    EXPECT_EQ(failure->path, source_ + order[1]);
    EXPECT_EQ(failure->code, static_cast<std::int32_t>(code));
    EXPECT_EQ(plan.Calls("CopyFileA", source_ + order[1]), 1) << code;
    EXPECT_EQ(plan.Calls("CopyFileA", source_ + order[2]), 0) << code;
    EXPECT_EQ(PendingIoError, 0);
  }
}

TEST_F(FolderCopy, EachFolderIsListedOnceAndItsEntriesKindsAreTheListings) {
  // The look-ahead has asked after every name before the copy: the copy's walk asks nothing
  // more of an entry, so a question that would fail now changes nothing.
  PutFile(source_ + "Sub\\in.txt", "I");
  PutFile(source_ + "top.txt", "T");
  test_machine::FaultPlan plan;
  plan.Fail("GetFileAttributesA", source_ + "Sub", ERROR_FILENAME_EXCED_RANGE, 0);

  EXPECT_EQ(CopyFolder(source_, destination_), std::nullopt);

  std::vector<Record> records = ListRecords();
  std::sort(records.begin(), records.end());
  EXPECT_EQ(records, (std::vector<Record>{Md("Sub\\"), Copy("Sub\\in.txt"), Copy("top.txt")}));
  EXPECT_EQ(plan.Calls("GetFileAttributesA", source_), 0);
  EXPECT_EQ(plan.Calls("FindFirstFileA", source_), 2);
  EXPECT_EQ(ListTree(destination_), (Names{"Sub\\", "Sub\\in.txt", "top.txt"}));
}

// The list the look-ahead's walk writes: under its temporary name until its copy begins,
// gone where the copy never comes, and carried out as written whatever another program does
// at its name meanwhile.
TEST_F(FolderCopy, AListWrittenAheadTakesItsNameOnlyWhenItsCopyBegins) {
  const std::string pending_path = "C:\\TEMP\\~~pyList.lis";
  PutFile(kListPath, "an earlier run's list");
  PutFile(source_ + "a.txt", "A");
  PutFile(source_ + "Sub\\b.txt", "B");
  auto written_ahead = [&](PendingCopyList& pending) {
    WalkFolder(
        source_,
        [&](const WalkedEntry& entry) {
          pending.Add(entry);
          return WalkOn::kEnter;
        },
        nullptr);
  };
  {
    PendingCopyList never_carried_out(source_, destination_);
    written_ahead(never_carried_out);
    EXPECT_TRUE(FileIsThere(pending_path));
  }
  EXPECT_FALSE(FileIsThere(pending_path));
  EXPECT_EQ(ReadFile(kListPath), "an earlier run's list");
  EXPECT_EQ(ListTree(destination_), Names{});

  // Another program may take the pending list's name away and put its own there: what is
  // carried out is still the list the walk wrote.
  const std::string planted = root_ + "system\\evil.dll";
  PutFile(root_ + "rival\\evil.dll", "the other program's");
  test_machine::MakeFolder(root_ + "system\\");
  const std::string rival_list = root_ + "rival\\CopyList.lis";
  PutFile(rival_list, "Copy\r\n" + root_ + "rival\\evil.dll\r\n" + planted + "\r\nend");
  PendingCopyList pending(source_, destination_);
  written_ahead(pending);
  EXPECT_TRUE(pending.Lists(source_, destination_));
  EXPECT_FALSE(pending.Lists(source_, root_ + "inst\\Other\\"));
  int changes = 0;
  bool named = false;
  {
    test_machine::FaultPlan plan;
    plan.ActBefore(pending_path, [&](const test_machine::FaultPlan::Call& call) {
      if (!named) {
        changes += RivalRewrites(pending_path, rival_list);
        named = call.name == "MoveFileExA";
      }
    });
    EXPECT_EQ(pending.CarryOut(), std::nullopt);
  }
  EXPECT_GT(changes, 0);
  EXPECT_FALSE(FileIsThere(planted));
  EXPECT_FALSE(FileIsThere(pending_path));
  EXPECT_TRUE(FileIsThere(kListPath));
  EXPECT_EQ(ListTree(destination_), (Names{"Sub\\", "Sub\\b.txt", "a.txt"}));
  EXPECT_EQ(PendingIoError, 0);
}

// Lists written by hand, carried out directly.
class CopyList : public FolderCopy {
 protected:
  // Writes `bytes` as the list and carries it out.
  void CarryOut(const std::string& bytes) {
    PutFile(list_path_, bytes);
    LineFile list(list_path_);
    OpenForReading(list);
    CheckIo();
    CarryOutCopyList(list);
    CloseLineFile(list);
    CheckIo();
  }
  std::string Line(const std::string& text) { return text + "\r\n"; }

  std::string list_path_ = destination_ + "..\\hand.lis";
};

TEST_F(CopyList, AListWithoutEndIsCarriedOutToItsLastLine) {
  PutFile(source_ + "a.txt", "A");
  PutFile(source_ + "b.txt", "B");
  test_machine::FaultPlan plan;

  EXPECT_NO_THROW(CarryOut(Line("Copy") + Line(source_ + "a.txt") + Line(destination_ + "a.txt") +
                           Line("MD") + Line(source_ + "Sub\\") + Line(destination_ + "Sub\\") +
                           Line("Copy") + Line(source_ + "b.txt") + destination_ + "Sub\\b.txt"));

  EXPECT_EQ(ReadFile(destination_ + "a.txt"), "A");
  EXPECT_EQ(ReadFile(destination_ + "Sub\\b.txt"), "B");
  EXPECT_EQ(plan.Calls("CopyFileA"), 2);
  EXPECT_EQ(plan.Calls("CreateDirectoryA"), 1);
  EXPECT_EQ(PendingIoError, 0);
}

TEST_F(CopyList, NothingAfterEndIsCarriedOut) {
  PutFile(source_ + "a.txt", "A");
  test_machine::FaultPlan plan;

  CarryOut(Line("end") + Line("Copy") + Line(source_ + "a.txt") + Line(destination_ + "a.txt") +
           "end");

  EXPECT_EQ(plan.Calls("CopyFileA"), 0);
  EXPECT_FALSE(FileIsThere(destination_ + "a.txt"));
}

TEST_F(CopyList, KeywordsMatchExactlyAndOtherLinesArePassedOver) {
  PutFile(source_ + "a.txt", "A");
  PutFile(source_ + "b.txt", "B");
  test_machine::FaultPlan plan;

  // "copy", "md" and "END" are no keywords: each is passed over as one line, and so are the
  // path lines after them, until a line that is a keyword.
  CarryOut(Line("copy") + Line(source_ + "a.txt") + Line(destination_ + "a.txt") + Line("md") +
           Line(source_ + "X\\") + Line(destination_ + "X\\") + Line("END") + Line("") +
           Line("Copy") + Line(source_ + "b.txt") + Line(destination_ + "b.txt") + "end");

  EXPECT_EQ(plan.Calls("CopyFileA"), 1);
  EXPECT_EQ(plan.Calls("CreateDirectoryA"), 0);
  EXPECT_EQ(ListTree(destination_), Names{"b.txt"});
}

TEST_F(CopyList, AFolderThatCannotBeMadeIsToldAndEndsTheList) {
  PutFile(source_ + "a.txt", "A");
  PutFile(destination_ + "Here", "a file in the folder's way");
  test_machine::MakeFolder(destination_ + "There\\");
  PutFile(list_path_, Line("MD") + Line(source_ + "There\\") + Line(destination_ + "There\\") +
                          Line("MD") + Line(source_ + "Here\\") + Line(destination_ + "Here\\") +
                          Line("Copy") + Line(source_ + "a.txt") + Line(destination_ + "a.txt") +
                          "end");
  LineFile list(list_path_);
  OpenForReading(list);

  const std::optional<CopyFailure> failure = CarryOutCopyList(list);
  CloseLineFile(list);

  ASSERT_NE(failure, std::nullopt);
  EXPECT_EQ(failure->path, source_ + "Here\\");
  EXPECT_EQ(failure->code, ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(FileIsThere(destination_ + "a.txt"));
  EXPECT_EQ(PendingIoError, 0);
}

}  // namespace
