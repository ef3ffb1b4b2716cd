// The run's look before its first change: the path limits shared with the package check, and
// each condition that ends a run before it changes anything, on the emulated machine.
#include "driver/look_ahead.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "driver/platform_machine.h"
#include "platform/platform.h"
#include "support/failure.h"
#include "support/line_file.h"
#include "test_machine.h"
#include "transfer/launcher_files.h"
#include "win32emu/machine/machine.h"

namespace {

using test_machine::PutFile;

// Whose path was measured: the package's or the product's.
enum class Side { kNone, kPackage, kProduct };

Side SideOf(const std::optional<Refusal>& refusal) {
  if (!refusal) {
    return Side::kNone;
  }
  return refusal->text.rfind("The update's folder path is too long", 0) == 0 ? Side::kPackage
                                                                             : Side::kProduct;
}

TEST(PathRefusals, FilesFitUpTo259CharactersAndFoldersUpTo247WithTheirFinalSeparator) {
  struct Row {
    size_t length;
    bool folder;
    Side destination;  // the refusal for a destination of that length
    Side source;       // for a source of that length
  };
  // A folder is made with its final '\' and listed with "\*.*": the source side is the
  // listing's 259, less 4.
  const Row rows[] = {
      {259, false, Side::kNone, Side::kNone},   {260, false, Side::kProduct, Side::kPackage},
      {246, true, Side::kNone, Side::kNone},    {247, true, Side::kProduct, Side::kNone},
      {255, true, Side::kProduct, Side::kNone}, {256, true, Side::kProduct, Side::kPackage},
  };
  for (const Row& row : rows) {
    const std::string path = "C:\\" + std::string(row.length - 3, 'p');
    ASSERT_EQ(path.size(), row.length);
    EXPECT_EQ(SideOf(CopyDestinationRefusal(path, row.folder)), row.destination)
        << row.length << (row.folder ? " folder" : " file");
    EXPECT_EQ(SideOf(CopySourceRefusal(path, row.folder)), row.source)
        << row.length << (row.folder ? " folder" : " file");
  }
}

TEST(PathRefusals, LauncherPathsAreMeasuredInTheProductFirstAndInThePackageWhenKnown) {
  const std::string install = "C:\\WINDOWS\\Key\\";
  // "NewExe\logotip.bmp" is 18 characters: a package folder of 241 gives 259.
  const std::string fits = "C:\\" + std::string(237, 'p') + "\\";
  const std::string too_long = "C:\\" + std::string(238, 'p') + "\\";
  EXPECT_FALSE(LauncherPathRefusal(fits, install, "logotip.bmp"));
  EXPECT_EQ(SideOf(LauncherPathRefusal(too_long, install, "logotip.bmp")), Side::kPackage);
  EXPECT_EQ(LauncherPathRefusal(too_long, install, "logotip.bmp")->text,
            "The update's folder path is too long: move the update nearer to the drive's root (" +
                too_long + "NewExe\\logotip.bmp)");
  EXPECT_FALSE(LauncherPathRefusal(too_long, install, "logotip.bmp", false));
  // OldExe\ is made as a folder: 248 characters with its '\' are too many.
  const std::string long_install = "C:\\" + std::string(237, 'i') + "\\";
  ASSERT_EQ((long_install + "OldExe\\").size(), 248u);
  EXPECT_EQ(SideOf(LauncherPathRefusal(fits, long_install, "mechi.bmp")), Side::kProduct);
}

class LookAheadTest : public testing::Test {
 protected:
  void SetUp() override {
    const std::string root = test_machine::FreshFolder();
    plan_.package_dir = root + "pack\\";
    plan_.install_dir = root + "inst\\";
    plan_.content_folder = "Quests";
    plan_.staging = plan_.install_dir + "~~ests\\";
    plan_.replaces_launchers = true;
    plan_.copies_content = true;
    for (const char* name : kLauncherFiles) {
      PutFile(plan_.install_dir + name, std::string("installed ") + name);
      PutFile(plan_.package_dir + "NewExe\\" + name, std::string("new ") + name);
    }
    PutFile(plan_.package_dir + "Quests\\a.txt", "a");
    PutFile(plan_.package_dir + "Quests\\Maps\\m.map", "m");
  }

  PlatformMachine machine_;
  UpdatePlan plan_;
};

TEST_F(LookAheadTest, EachConditionEndsTheRunWithItsOwnRefusal) {
  struct Condition {
    const char* what;
    std::function<void(UpdatePlan&, test_machine::FaultPlan&)> set_up;
    // The refusal's text, with {P} for the package folder and {I} for the product's; "" for
    // none.
    std::string text;
    std::int32_t code;
  };
  const Condition conditions[] = {
      {"nothing wrong", [](UpdatePlan&, test_machine::FaultPlan&) {}, "", 0},
      {"nothing to change",
       [](UpdatePlan& plan, test_machine::FaultPlan& faults) {
         plan.replaces_launchers = plan.copies_content = false;
         faults.Fail("GetTempPathA", "", ERROR_INSUFFICIENT_BUFFER);
       },
       "", 0},
      {"the temporary folder is missing",
       [](UpdatePlan&, test_machine::FaultPlan& faults) {
         faults.Fail("GetFileAttributesA", "C:\\TEMP\\", ERROR_FILE_NOT_FOUND);
       },
       "The temporary folder cannot be found: set TMP and TEMP to a folder that exists and whose "
       "name has only characters of this system's language, then start the update again "
       "(C:\\TEMP\\)",
       ERROR_PATH_NOT_FOUND},
      {"no content folder named",
       [](UpdatePlan& plan, test_machine::FaultPlan&) { plan.content_folder = ""; },
       "The update names no content folder (line 1 of set.inf is empty): get the update again "
       "from its maker",
       ERROR_INVALID_NAME},
      {"the content folder is not in the package",
       [](UpdatePlan& plan, test_machine::FaultPlan&) { plan.content_folder = "Quest"; },
       "The update's content folder cannot be found: unpack the whole update again, or get it "
       "again from its maker ({P}Quest\\)",
       ERROR_PATH_NOT_FOUND},
      {"a content subfolder cannot be listed",
       [](UpdatePlan& plan, test_machine::FaultPlan& faults) {
         faults.Fail("FindFirstFileW", plan.package_dir + "Quests\\Maps\\", ERROR_ACCESS_DENIED);
       },
       "A folder of the update cannot be read: unpack the update again, or let the virus scanner "
       "release it, then start the update again ({P}Quests\\Maps\\)",
       ERROR_ACCESS_DENIED},
      {"a listing that ends before its end",
       [](UpdatePlan& plan, test_machine::FaultPlan& faults) {
         faults.Fail("FindNextFileW", plan.package_dir + "Quests\\*.*", ERROR_ACCESS_DENIED);
       },
       "A folder of the update cannot be read: unpack the update again, or let the virus scanner "
       "release it, then start the update again ({P}Quests\\)",
       ERROR_ACCESS_DENIED},
      {"a listed name that names nothing",
       [](UpdatePlan& plan, test_machine::FaultPlan& faults) {
         // A name that Windows may read as a device's is asked after, and answers nothing.
         PutFile(plan.package_dir + "Quests\\COM0.txt", "x");
         faults.Fail("GetFileAttributesA", plan.package_dir + "Quests\\COM0.txt",
                     ERROR_FILE_NOT_FOUND);
       },
       "A file of the update has a name that this system's language cannot show: set the "
       "language for non-Unicode programs to the update's language, or get the update made for "
       "this language ({P}Quests\\COM0.txt)",
       ERROR_INVALID_NAME},
      {"a link that leads nowhere",
       [](UpdatePlan& plan, test_machine::FaultPlan&) {
         // Listed as the link itself; its name, asked after, names nothing.
         test_machine::MakeLink(plan.package_dir + "Quests\\gone.txt",
                                plan.package_dir + "Quests\\nowhere.txt",
                                test_machine::LinkKind::kSymbolic);
       },
       "A file of the update has a name that this system's language cannot show: set the "
       "language for non-Unicode programs to the update's language, or get the update made for "
       "this language ({P}Quests\\gone.txt)",
       ERROR_INVALID_NAME},
      {"a launcher file of the package cannot be read",
       [](UpdatePlan& plan, test_machine::FaultPlan& faults) {
         faults.Fail("CreateFileA", plan.package_dir + "NewExe\\fon.bmp", ERROR_ACCESS_DENIED);
       },
       "A file of the update cannot be read: let the virus scanner release it, or unpack the "
       "update again, then start the update again ({P}NewExe\\fon.bmp)",
       ERROR_ACCESS_DENIED},
      {"an installed launcher file is read-only",
       [](UpdatePlan& plan, test_machine::FaultPlan&) {
         test_machine::SetReadOnly(plan.install_dir + "UnTv.exe", true);
       },
       "A file of the product is read-only: clear its read-only attribute in its properties, "
       "then start the update again ({I}UnTv.exe)",
       ERROR_ACCESS_DENIED},
      {"an installed launcher file is read-only and holds the new bytes already",
       [](UpdatePlan& plan, test_machine::FaultPlan&) {
         // A run of this package put it in place, read-only as the package holds it, and was
         // ended before it recorded its launcher stage.
         PutFile(plan.install_dir + "UnTv.exe", "new UnTv.exe");
         test_machine::SetReadOnly(plan.install_dir + "UnTv.exe", true);
       },
       "", 0},
      {"an installed launcher file that another program holds",
       [](UpdatePlan& plan, test_machine::FaultPlan& faults) {
         faults.Fail("CreateFileA", plan.install_dir + "setup.exe", ERROR_SHARING_VIOLATION);
       },
       "A file of the product is in use: close the game and start the update again "
       "({I}setup.exe)",
       ERROR_SHARING_VIOLATION},
      {"a folder of a launcher file's name",
       [](UpdatePlan& plan, test_machine::FaultPlan&) {
         test_machine::Remove(plan.install_dir + "mechi.bmp");
         test_machine::MakeFolder(plan.install_dir + "mechi.bmp\\");
       },
       "A file of the product cannot be replaced: start the update with administrator rights "
       "({I}mechi.bmp)",
       ERROR_ACCESS_DENIED},
      {"the product's folder is missing",
       [](UpdatePlan& plan, test_machine::FaultPlan&) { plan.install_dir += "gone\\"; },
       "The product's folder is missing: install the product again, then start the update ({I})",
       ERROR_PATH_NOT_FOUND},
      {"a content folder too long in the product's folder, and long in the package too",
       [](UpdatePlan& plan, test_machine::FaultPlan&) {
         plan.content_folder = "Quests";
         PutFile(plan.package_dir + "Quests\\" + std::string(200, 'l') + "\\x.txt", "x");
         plan.install_dir += std::string(40, 'i') + "\\";
         test_machine::MakeFolder(plan.install_dir);
         plan.replaces_launchers = false;
       },
       "", ERROR_FILENAME_EXCED_RANGE},
  };
  for (const Condition& condition : conditions) {
    SetUp();
    UpdatePlan plan = plan_;
    std::optional<Refusal> refusal;
    {
      test_machine::FaultPlan faults;
      condition.set_up(plan, faults);
      refusal = LookAhead(machine_, plan);
    }
    if (condition.code == 0) {
      EXPECT_FALSE(refusal) << condition.what << ": " << refusal->text;
      continue;
    }
    ASSERT_TRUE(refusal) << condition.what;
    EXPECT_EQ(refusal->code, condition.code) << condition.what;
    std::string text = condition.text;
    for (auto [token, folder] : {std::pair{"{P}", plan.package_dir}, {"{I}", plan.install_dir}}) {
      for (size_t at; (at = text.find(token)) != std::string::npos;) {
        text.replace(at, 3, folder);
      }
    }
    if (!text.empty()) {
      EXPECT_EQ(refusal->text, text) << condition.what;
    } else {
      // Only the product's side is told, moving the update would not help; of the paths too
      // long there, the longest the walk sees: the long folder, whose files Windows cannot list
      // in the package.
      EXPECT_EQ(refusal->text,
                "A file would get a path too long in the product's folder: ask the update's "
                "maker for one with shorter names (" +
                    plan.install_dir + "Quests\\" + std::string(200, 'l') + ")")
          << condition.what << ": " << refusal->text;
    }
  }
}

TEST_F(LookAheadTest, AHolderThatLetsOthersDeleteTheFileStillCountsAsUsingIt) {
  // An indexer or a virus scanner: it shares everything, so deleting the file would go
  // through and stay pending while it holds the file.
  HANDLE holder = CreateFileA((plan_.install_dir + "deleter.exe").c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);

  std::optional<Refusal> refusal = LookAhead(machine_, plan_);

  CloseHandle(holder);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->code, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(refusal->text,
            "A file of the product is in use: close the game and start the update again (" +
                plan_.install_dir + "deleter.exe)");
  // Let go, the file may be replaced.
  EXPECT_FALSE(LookAhead(machine_, plan_));
}

// The look-ahead's walk lists the copy too: each folder of the content is listed once in all.
TEST_F(LookAheadTest, TheContentTreeIsListedOnceForTheLookAheadAndTheCopy) {
  plan_.replaces_launchers = false;
  test_machine::FaultPlan seen;
  ASSERT_FALSE(LookAhead(machine_, plan_));
  machine_.CopyContent(plan_.package_dir + "Quests\\", plan_.staging);
  EXPECT_EQ(seen.Calls("FindFirstFileW", plan_.package_dir + "Quests\\"), 2);
  EXPECT_EQ(seen.Calls("FindFirstFileA", plan_.package_dir + "Quests\\"), 0);
  EXPECT_EQ(test_machine::ListTree(plan_.staging),
            (std::vector<std::string>{"Maps\\", "Maps\\m.map", "a.txt"}));
}

// The look-ahead asks after a name only where Windows might read it otherwise than listed; the
// others answer with what the listing said. Each refusal stays as it was.
TEST_F(LookAheadTest, OnlyNamesThatWindowsMightReadOtherwiseAreAskedAfter) {
  plan_.replaces_launchers = false;
  const std::string quests = plan_.package_dir + "Quests\\";
  PutFile(quests + "Cr\xE8me.qst", "x");       // a letter of the code page: read as listed
  PutFile(quests + "Maps\\lpt\xB9.txt", "x");  // a device's name, to Windows
  const std::string host = emu::HostPath(quests.c_str());
  const std::string dotted = host + "/trailing.";          // the dot is dropped in a path
  const std::string foreign = host + "/\xCE\xA9mega.txt";  // no letter of 1252
  test_machine::WriteHostFile(dotted, "x");
  test_machine::WriteHostFile(foreign, "x");
  auto refused_name = [&](const std::string& name) {
    return "A file of the update has a name that this system's language cannot show: set the "
           "language for non-Unicode programs to the update's language, or get the update made "
           "for this language (" +
           quests + name + ")";
  };
  {
    test_machine::FaultPlan seen;
    std::optional<Refusal> refusal = LookAhead(machine_, plan_);
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->text, refused_name("?mega.txt"));  // of two, the first by its text
    // The three, and the content folder itself before the walk.
    EXPECT_EQ(seen.Calls("GetFileAttributesA", quests), 4);
    for (const char* asked : {"Maps\\lpt\xB9.txt", "trailing.", "?mega.txt"}) {
      EXPECT_EQ(seen.Calls("GetFileAttributesA", quests + asked), 1) << asked;
    }
  }
  std::remove(foreign.c_str());
  std::optional<Refusal> refusal = LookAhead(machine_, plan_);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->text, refused_name("trailing."));
  // Without them, every entry is in the list, as listed.
  std::remove(dotted.c_str());
  ASSERT_FALSE(LookAhead(machine_, plan_));
  machine_.CopyContent(quests, plan_.staging);
  EXPECT_EQ(test_machine::ListTree(plan_.staging),
            (std::vector<std::string>{"Cr\xC3\xA8me.qst", "Maps\\", "Maps\\lpt\xC2\xB9.txt",
                                      "Maps\\m.map", "a.txt"}));  // host names, in UTF-8
}

// The copy's list is written by the look-ahead's walk: a list that cannot be written ends the
// run before its first change, and takes nothing of the earlier run's list.
TEST_F(LookAheadTest, AListThatCannotBeWrittenEndsTheRunBeforeItsFirstChange) {
  // More records than the list's buffer holds, so that the walk writes.
  for (int at = 0; at < 600; ++at) {
    PutFile(plan_.package_dir + "Quests\\Maps\\map" + std::to_string(at) + ".map", "m");
  }
  PutFile("C:\\TEMP\\CopyList.lis", "an earlier run's list");
  {
    PlatformMachine machine;
    test_machine::FaultPlan faults;
    faults.Fail("WriteFile", "~~pyList.lis", ERROR_DISK_FULL);
    try {
      LookAhead(machine, plan_);
      ADD_FAILURE() << "the look-ahead passed a list it could not write";
    } catch (const EInOutError& error) {
      EXPECT_EQ(error.Code(), ERROR_DISK_FULL);
    }
    EXPECT_EQ(faults.Injected(), 1);
  }
  EXPECT_FALSE(test_machine::FileIsThere("C:\\TEMP\\~~pyList.lis"));
  EXPECT_EQ(test_machine::ReadFile("C:\\TEMP\\CopyList.lis"), "an earlier run's list");
  PendingIoError = 0;
}

}  // namespace
