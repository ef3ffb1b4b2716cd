// Replacement of the launcher files: which of the names are saved into OldExe\ and replaced,
// what is left alone, and how a file that cannot be put in place puts the whole set back. The
// names are the code's own list, so that a name added to it is covered here too.
#include "transfer/launcher_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "support/line_file.h"
#include "test_machine.h"

namespace {

using test_machine::FileIsThere;
using test_machine::FolderIsThere;
using test_machine::ListTree;
using test_machine::PutFile;
using test_machine::ReadFile;
using Names = std::vector<std::string>;

const Names kAllLaunchers(std::begin(kLauncherFiles), std::end(kLauncherFiles));

// The launcher files but those named, in their order.
Names AllLaunchersBut(const Names& left_out) {
  Names names;
  for (const std::string& name : kAllLaunchers) {
    if (std::find(left_out.begin(), left_out.end(), name) == left_out.end()) {
      names.push_back(name);
    }
  }
  return names;
}

class LauncherFiles : public testing::Test {
 protected:
  void SetUp() override {
    PendingIoError = 0;
    const std::string root = test_machine::FreshFolder();
    package_ = root + "pack\\";
    install_ = root + "inst\\";
    new_exe_ = package_ + "NewExe\\";
    old_exe_ = install_ + "OldExe\\";
    test_machine::MakeFolder(package_);
    test_machine::MakeFolder(install_);
  }
  void TearDown() override { PendingIoError = 0; }

  void Install(const Names& names, const std::string& tag = "installed") {
    for (const std::string& name : names) {
      PutFile(install_ + name, tag + " " + name);
    }
  }
  void Offer(const Names& names, const std::string& tag = "new") {
    for (const std::string& name : names) {
      PutFile(new_exe_ + name, tag + " " + name);
    }
  }
  std::string Installed(const std::string& name) {
    return ReadFile(install_ + name).value_or("<none>");
  }
  std::string Saved(const std::string& name) {
    return ReadFile(old_exe_ + name).value_or("<none>");
  }

  std::string package_, install_, new_exe_, old_exe_;
};

TEST_F(LauncherFiles, OnlyTheFilesThatNewExeHoldsAreSavedAndReplaced) {
  Install(kAllLaunchers);
  Offer({"setup.exe", "fon.bmp"});

  EXPECT_TRUE(ReplaceLauncherFiles(package_, install_).Complete());

  EXPECT_EQ(Installed("setup.exe"), "new setup.exe");
  EXPECT_EQ(Installed("fon.bmp"), "new fon.bmp");
  for (const std::string& name : AllLaunchersBut({"setup.exe", "fon.bmp"})) {
    EXPECT_EQ(Installed(name), "installed " + name) << name;
  }
  EXPECT_EQ(ListTree(old_exe_), (Names{"fon.bmp", "setup.exe"}));
  EXPECT_EQ(Saved("setup.exe"), "installed setup.exe");
  EXPECT_EQ(Saved("fon.bmp"), "installed fon.bmp");
  // The package's files are copied, not moved.
  EXPECT_EQ(ListTree(new_exe_), (Names{"fon.bmp", "setup.exe"}));
  EXPECT_EQ(PendingIoError, 0);
}

TEST_F(LauncherFiles, EveryLauncherFileIsReplacedWhenNewExeHoldsThemAll) {
  Install(kAllLaunchers);
  Offer(kAllLaunchers);

  EXPECT_TRUE(ReplaceLauncherFiles(package_, install_).Complete());

  for (const std::string& name : kAllLaunchers) {
    EXPECT_EQ(Installed(name), "new " + name) << name;
    EXPECT_EQ(Saved(name), "installed " + name) << name;
  }
}

TEST_F(LauncherFiles, ANewFileThatIsNotInstalledIsCopiedInWithNothingSaved) {
  Install({"setup.exe"});
  Offer({"deleter.exe"});

  EXPECT_TRUE(ReplaceLauncherFiles(package_, install_).Complete());

  EXPECT_EQ(Installed("deleter.exe"), "new deleter.exe");
  EXPECT_EQ(Installed("setup.exe"), "installed setup.exe");
  EXPECT_TRUE(FolderIsThere(old_exe_));
  EXPECT_EQ(ListTree(old_exe_), Names{});
}

TEST_F(LauncherFiles, WithoutNewExeNothingIsTouched) {
  Install(kAllLaunchers);
  PutFile(package_ + "setup.exe", "the package's own setup.exe");
  PutFile(package_ + "options.inf", "the package's own options.inf");
  const Names installed_before = ListTree(install_);
  test_machine::FaultPlan plan;

  EXPECT_FALSE(ReplaceLauncherFiles(package_, install_).ran);

  EXPECT_FALSE(FolderIsThere(old_exe_));
  EXPECT_EQ(ListTree(install_), installed_before);
  for (const std::string& name : kAllLaunchers) {
    EXPECT_EQ(Installed(name), "installed " + name) << name;
  }
  EXPECT_EQ(plan.Calls("CopyFileA"), 0);
  EXPECT_EQ(plan.Calls("DeleteFileA"), 0);
  EXPECT_EQ(plan.Calls("CreateDirectoryA"), 0);
  EXPECT_EQ(PendingIoError, 0);
}

TEST_F(LauncherFiles, ANewExeFileInPlaceOfTheFolderCountsAsNoNewExe) {
  Install({"setup.exe"});
  PutFile(package_ + "NewExe", "a file, not a folder");

  EXPECT_FALSE(ReplaceLauncherFiles(package_, install_).ran);

  EXPECT_FALSE(FolderIsThere(old_exe_));
  EXPECT_EQ(Installed("setup.exe"), "installed setup.exe");
}

TEST_F(LauncherFiles, ANewExeWithNoneOfTheLauncherNamesOnlyCreatesOldExe) {
  Install(kAllLaunchers);
  Offer({"readme.txt", "setup.exe.bak", "other.exe"});
  test_machine::MakeFolder(new_exe_ + "fon.bmp\\");  // a folder of a launcher file's name
  test_machine::FaultPlan plan;

  EXPECT_TRUE(ReplaceLauncherFiles(package_, install_).Complete());

  EXPECT_TRUE(FolderIsThere(old_exe_));
  EXPECT_EQ(ListTree(old_exe_), Names{});
  for (const std::string& name : kAllLaunchers) {
    EXPECT_EQ(Installed(name), "installed " + name) << name;
  }
  EXPECT_FALSE(FileIsThere(install_ + "readme.txt"));
  EXPECT_EQ(plan.Calls("CopyFileA"), 0);
  EXPECT_EQ(plan.Calls("DeleteFileA"), 0);
  EXPECT_EQ(PendingIoError, 0);
}

TEST_F(LauncherFiles, OldExeHoldsOnlyTheGenerationReplacedLast) {
  Install(kAllLaunchers, "first");
  Offer({"setup.exe", "UnTv.exe"}, "second");
  ASSERT_TRUE(ReplaceLauncherFiles(package_, install_).Complete());
  Offer({"setup.exe", "UnTv.exe"}, "third");

  EXPECT_TRUE(ReplaceLauncherFiles(package_, install_).Complete());

  EXPECT_EQ(Installed("setup.exe"), "third setup.exe");
  EXPECT_EQ(Installed("UnTv.exe"), "third UnTv.exe");
  EXPECT_EQ(Saved("setup.exe"), "second setup.exe");
  EXPECT_EQ(Saved("UnTv.exe"), "second UnTv.exe");
  EXPECT_EQ(ListTree(old_exe_), (Names{"UnTv.exe", "setup.exe"}));
  EXPECT_EQ(Installed("fon.bmp"), "first fon.bmp");
}

TEST_F(LauncherFiles, AnExistingOldExeIsUsedAndItsOtherFilesStay) {
  Install({"mechi.bmp"});
  PutFile(old_exe_ + "notes.txt", "kept");
  PutFile(old_exe_ + "mechi.bmp", "an older saved mechi.bmp");
  test_machine::FaultPlan plan;
  Offer({"mechi.bmp"});

  EXPECT_TRUE(ReplaceLauncherFiles(package_, install_).Complete());

  EXPECT_EQ(ReadFile(old_exe_ + "notes.txt"), "kept");
  EXPECT_EQ(Saved("mechi.bmp"), "installed mechi.bmp");
  EXPECT_EQ(Installed("mechi.bmp"), "new mechi.bmp");
}

TEST_F(LauncherFiles, AnInstalledFileThatCannotBeSavedStaysAsItIs) {
  Install(kAllLaunchers);
  Offer(kAllLaunchers);
  test_machine::FaultPlan plan;
  plan.Fail("CopyFileA", install_ + "UnTv.exe", ERROR_ACCESS_DENIED);

  EXPECT_EQ(ReplaceLauncherFiles(package_, install_).not_replaced, install_ + "UnTv.exe");

  EXPECT_EQ(plan.Injected(), 1);
  EXPECT_EQ(Installed("UnTv.exe"), "installed UnTv.exe");
  EXPECT_FALSE(FileIsThere(old_exe_ + "UnTv.exe"));
  EXPECT_EQ(plan.Calls("DeleteFileA", install_ + "UnTv.exe"), 0);
  EXPECT_EQ(plan.Calls("CopyFileA", new_exe_ + "UnTv.exe"), 0);
  // The names before it are put back from OldExe\, the names after it are not touched: the
  // product keeps one version of the whole set.
  for (const std::string& name : kAllLaunchers) {
    EXPECT_EQ(Installed(name), "installed " + name) << name;
  }
  EXPECT_EQ(ListTree(old_exe_), (Names{"deleter.exe", "setup.exe"}));
  EXPECT_EQ(Saved("setup.exe"), "installed setup.exe");
  EXPECT_EQ(plan.Calls("CopyFileA", new_exe_ + "mechi.bmp"), 0);
  EXPECT_EQ(PendingIoError, 0);
}

TEST_F(LauncherFiles, AnInstalledFileThatItsExistenceTestMissesIsNeverOverwritten) {
  Install(kAllLaunchers);
  Offer(kAllLaunchers);
  test_machine::FaultPlan plan;
  plan.Fail("GetFileAttributesA", install_ + "fon.bmp", ERROR_ACCESS_DENIED);

  EXPECT_EQ(ReplaceLauncherFiles(package_, install_).not_replaced, install_ + "fon.bmp");

  EXPECT_EQ(plan.Injected(), 1);
  EXPECT_EQ(Installed("fon.bmp"), "installed fon.bmp");
  EXPECT_FALSE(FileIsThere(old_exe_ + "fon.bmp"));
  // The file that was not replaced puts back the ones replaced before it.
  EXPECT_EQ(Installed("mechi.bmp"), "installed mechi.bmp");
  EXPECT_EQ(Saved("mechi.bmp"), "installed mechi.bmp");
}

// A file of NewExe\ that is not there is one the package does not bring; one that is there and
// cannot be seen is no such file: the set would be left of two versions.
TEST_F(LauncherFiles, ANewFileThatCannotBeSeenPutsTheSetBackAndOnlyAMissingOneIsPassedOver) {
  Install(kAllLaunchers);
  Offer(kAllLaunchers);
  {
    test_machine::FaultPlan plan;
    plan.Fail("GetFileAttributesA", new_exe_ + "fon.bmp", ERROR_FILE_NOT_FOUND);

    EXPECT_TRUE(ReplaceLauncherFiles(package_, install_).Complete());

    EXPECT_EQ(plan.Injected(), 1);
    EXPECT_EQ(Installed("fon.bmp"), "installed fon.bmp");
    EXPECT_FALSE(FileIsThere(old_exe_ + "fon.bmp"));
    EXPECT_EQ(Installed("options.inf"), "new options.inf");
  }
  Install(kAllLaunchers);  // the next package brings its files anew
  Offer(kAllLaunchers, "newer");
  test_machine::FaultPlan plan;
  plan.Fail("GetFileAttributesA", new_exe_ + "fon.bmp", ERROR_ACCESS_DENIED);

  EXPECT_EQ(ReplaceLauncherFiles(package_, install_).not_replaced, install_ + "fon.bmp");

  EXPECT_EQ(plan.Injected(), 1);
  for (const std::string& name : kAllLaunchers) {
    EXPECT_EQ(Installed(name), "installed " + name) << name;
  }
  EXPECT_EQ(plan.Calls("CopyFileA", new_exe_ + "options.inf"), 0);
  EXPECT_EQ(PendingIoError, 0);
}

TEST_F(LauncherFiles, TheLauncherFilesAreHandledOneAtATimeInTheirOrder) {
  Install(kAllLaunchers);
  Offer(kAllLaunchers);
  test_machine::FaultPlan plan;

  ASSERT_TRUE(ReplaceLauncherFiles(package_, install_).Complete());

  // Save, copy in under the temporary name, rename over, for one name before the next; the
  // installed file is never deleted, so that the product holds it at every moment.
  std::vector<std::string> steps;
  for (const auto& call : plan.Seen()) {
    if (call.name == "CopyFileA" || call.name == "DeleteFileA" || call.name == "MoveFileExA") {
      steps.push_back(call.name + " " + call.subject);
    }
  }
  std::vector<std::string> expected;
  for (const std::string& name : kAllLaunchers) {
    expected.push_back("CopyFileA " + install_ + name);
    expected.push_back("CopyFileA " + new_exe_ + name);
    expected.push_back("MoveFileExA " + install_ + "~~" + name.substr(2));
  }
  EXPECT_EQ(steps, expected);
  EXPECT_EQ(ListTree(install_).size(), 2 * kAllLaunchers.size() + 1);
}

TEST_F(LauncherFiles, AFileThatHoldsTheNewBytesAlreadyIsNeitherSavedNorCopiedAgain) {
  // A run that was ended after setup.exe and UnTv.exe were replaced, or a run of the same update
  // again: OldExe\ holds the files from before the first run, and keeps them.
  Install(kAllLaunchers, "old");
  Offer(kAllLaunchers);
  PutFile(old_exe_ + "setup.exe", "old setup.exe");
  PutFile(old_exe_ + "UnTv.exe", "old UnTv.exe");
  Install({"setup.exe", "UnTv.exe"}, "new");
  test_machine::FaultPlan plan;

  ASSERT_TRUE(ReplaceLauncherFiles(package_, install_).Complete());

  for (const std::string& name : kAllLaunchers) {
    EXPECT_EQ(Installed(name), "new " + name) << name;
    EXPECT_EQ(Saved(name), "old " + name) << name;
  }
  EXPECT_EQ(plan.Calls("CopyFileA", new_exe_ + "setup.exe"), 0);
  EXPECT_EQ(plan.Calls("CopyFileA", install_ + "UnTv.exe"), 0);
  EXPECT_EQ(plan.Calls("CopyFileA", new_exe_ + "fon.bmp"), 1);

  // Run again: nothing is left to do, and nothing is written.
  test_machine::FaultPlan again;
  ASSERT_TRUE(ReplaceLauncherFiles(package_, install_).Complete());
  EXPECT_EQ(again.Calls("CopyFileA"), 0);
  EXPECT_EQ(again.Calls("MoveFileExA"), 0);
  EXPECT_EQ(Saved("fon.bmp"), "old fon.bmp");
}

TEST_F(LauncherFiles, AFailedCopyOfTheNewFilePutsTheSetBackAndAHeldUpRenameIsTriedAgain) {
  Install({"setup.exe", "options.inf"});
  Offer({"setup.exe", "options.inf"});
  {
    test_machine::FaultPlan plan;
    plan.Fail("CopyFileA", new_exe_ + "setup.exe", ERROR_DISK_FULL);

    EXPECT_EQ(ReplaceLauncherFiles(package_, install_).not_replaced, install_ + "setup.exe");

    EXPECT_EQ(plan.Injected(), 1);
    // setup.exe was saved and its new copy failed: the installed one was never touched.
    EXPECT_EQ(Saved("setup.exe"), "installed setup.exe");
    EXPECT_FALSE(FileIsThere(install_ + "~~tup.exe"));
    EXPECT_EQ(Installed("setup.exe"), "installed setup.exe");
    EXPECT_EQ(Installed("options.inf"), "installed options.inf");
  }
  test_machine::FaultPlan plan;
  plan.Fail("MoveFileExA", install_ + "~~tions.inf", ERROR_SHARING_VIOLATION);

  EXPECT_TRUE(ReplaceLauncherFiles(package_, install_).Complete());

  EXPECT_EQ(plan.Injected(), 1);
  // The rename over options.inf was held up for a moment, as by a virus scanner; tried again,
  // it replaced the file, and no temporary file is left.
  EXPECT_EQ(plan.Calls("MoveFileExA", install_ + "~~tions.inf"), 2);
  EXPECT_FALSE(FileIsThere(install_ + "~~tions.inf"));
  EXPECT_EQ(Saved("options.inf"), "installed options.inf");
  EXPECT_EQ(Installed("options.inf"), "new options.inf");
  EXPECT_EQ(Installed("setup.exe"), "new setup.exe");
  EXPECT_EQ(PendingIoError, 0);
}

TEST_F(LauncherFiles, AFileThatCannotBePutInPlacePutsTheWholeSetBack) {
  // deleter.exe is not installed, so the replacement adds it; fon.bmp cannot be put in place,
  // as where its deletion is only pending.
  const Names installed = {"setup.exe",   "UnTv.exe", "mechi.bmp",
                           "logotip.bmp", "fon.bmp",  "options.inf"};
  Install(installed);
  PutFile(old_exe_ + "setup.exe", "an older setup.exe");
  Offer(kAllLaunchers);
  test_machine::FaultPlan plan;
  plan.Fail("CopyFileA", new_exe_ + "fon.bmp", ERROR_ACCESS_DENIED);

  const LauncherReplacement replacement = ReplaceLauncherFiles(package_, install_);

  EXPECT_TRUE(replacement.ran);
  EXPECT_FALSE(replacement.Complete());
  EXPECT_EQ(replacement.not_replaced, install_ + "fon.bmp");
  EXPECT_EQ(ListTree(install_),
            (Names{"OldExe\\", "OldExe\\UnTv.exe", "OldExe\\fon.bmp", "OldExe\\logotip.bmp",
                   "OldExe\\mechi.bmp", "OldExe\\setup.exe", "UnTv.exe", "fon.bmp", "logotip.bmp",
                   "mechi.bmp", "options.inf", "setup.exe"}));
  for (const std::string& name : installed) {
    EXPECT_EQ(Installed(name), "installed " + name) << name;
  }
  // Put back last first, after the file that failed; the added deleter.exe is taken away.
  std::vector<std::string> after_failure;
  bool failed = false;
  for (const auto& call : plan.Seen()) {
    if (failed && (call.name == "CopyFileA" || call.name == "DeleteFileA")) {
      after_failure.push_back(call.name + " " + call.subject);
    }
    failed = failed || (call.name == "CopyFileA" && call.subject == new_exe_ + "fon.bmp");
  }
  // fon.bmp itself was never touched: only its temporary copy goes.
  EXPECT_EQ(after_failure, (std::vector<std::string>{
                               "DeleteFileA " + install_ + "~~n.bmp",
                               "CopyFileA " + old_exe_ + "logotip.bmp",
                               "CopyFileA " + old_exe_ + "mechi.bmp",
                               "CopyFileA " + old_exe_ + "UnTv.exe",
                               "DeleteFileA " + install_ + "deleter.exe",
                               "CopyFileA " + old_exe_ + "setup.exe",
                           }));
  EXPECT_EQ(plan.Calls("CopyFileA", new_exe_ + "options.inf"), 0);
}

TEST_F(LauncherFiles, AFolderOfALauncherFilesNameIsNeitherSavedNorDeleted) {
  Install({"setup.exe"});
  PutFile(install_ + "logotip.bmp\\inside.txt", "inside");
  Offer({"setup.exe", "logotip.bmp"});
  test_machine::FaultPlan plan;

  EXPECT_EQ(ReplaceLauncherFiles(package_, install_).not_replaced, install_ + "logotip.bmp");

  EXPECT_TRUE(FolderIsThere(install_ + "logotip.bmp"));
  EXPECT_EQ(ReadFile(install_ + "logotip.bmp\\inside.txt"), "inside");
  EXPECT_FALSE(FileIsThere(old_exe_ + "logotip.bmp"));
  EXPECT_FALSE(FolderIsThere(old_exe_ + "logotip.bmp"));
  EXPECT_EQ(plan.Calls("DeleteFileA", install_ + "logotip.bmp"), 0);
  EXPECT_EQ(plan.Calls("CopyFileA", new_exe_ + "logotip.bmp"), 1);
  // The folder takes the new file's place, so setup.exe is put back.
  EXPECT_EQ(Installed("setup.exe"), "installed setup.exe");
  EXPECT_EQ(Saved("setup.exe"), "installed setup.exe");
  EXPECT_EQ(PendingIoError, 0);
}

// OldExe\'s creation is checked where it happens: without it no file can be saved, so the stage
// ends before its first file, told by OldExe\'s path, and nothing is left pending for a later,
// unrelated step.
TEST_F(LauncherFiles, OldExeThatCannotBeMadeEndsTheStageBeforeItsFirstFile) {
  struct Case {
    const char* why;
    DWORD fault;  // of OldExe\'s creation, or 0
    bool file_in_the_way;
    bool install_dir_missing;
  };
  for (const Case& c : {Case{"a file named OldExe", 0, true, false},
                        Case{"creation refused", ERROR_ACCESS_DENIED, false, false},
                        Case{"product folder missing", 0, false, true}}) {
    SetUp();
    Install({"setup.exe", "fon.bmp"});
    Offer({"setup.exe", "fon.bmp", "deleter.exe"});
    if (c.file_in_the_way) {
      PutFile(install_ + "OldExe", "a file in the way");
    }
    const std::string install = c.install_dir_missing ? install_ + "gone\\" : install_;
    test_machine::FaultPlan plan;
    if (c.fault != 0) {
      plan.Fail("CreateDirectoryA", old_exe_, c.fault);
    }

    LauncherReplacement replacement;
    EXPECT_NO_THROW(replacement = ReplaceLauncherFiles(package_, install)) << c.why;

    EXPECT_TRUE(replacement.ran) << c.why;
    EXPECT_EQ(replacement.not_replaced, install + "OldExe\\") << c.why;
    EXPECT_EQ(PendingIoError, 0) << c.why;
    EXPECT_EQ(plan.Calls("CopyFileA"), 0) << c.why;
    EXPECT_EQ(Installed("setup.exe"), "installed setup.exe") << c.why;
    EXPECT_EQ(Installed("deleter.exe"), "<none>") << c.why;
    EXPECT_FALSE(FolderIsThere(install + "OldExe\\")) << c.why;
  }
}

}  // namespace
