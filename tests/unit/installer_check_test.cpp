// The run's decisions on the installed record, shared by the update run and the package
// check: the decision table of the installer version, and when it asks about NewExe\.
#include "driver/installer_check.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

struct Row {
  std::optional<std::string> version;  // nullopt: no "Version" in the record
  bool new_exe;
  std::optional<std::string> old_installer_version;
  bool launchers_replaced;
  bool content_stage;
};

TEST(InstallerCheck, FollowsTheDecisionTable) {
  const Row rows[] = {
      {std::nullopt, true, "1.0 or 1.1", true, true},
      {std::nullopt, false, "1.0 or 1.1", false, false},
      {"1.2", true, "1.2", true, true},
      {"1.3", false, "1.3", false, false},
      {"1.3.1", true, "1.3.1", true, true},
      {"1.3.1", false, std::nullopt, false, true},
      {"1.3.1 ", true, std::nullopt, false, false},
      {"", true, std::nullopt, false, false},
      {"1.2.0", false, std::nullopt, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.version.value_or("(none)") + (row.new_exe ? " with NewExe" : ""));
    int asked = 0;
    InstallerCheck check =
        CheckInstallerVersion(row.version.has_value(), row.version.value_or(""), [&] {
          ++asked;
          return row.new_exe;
        });
    // The run looks at NewExe\ here only for the current version: any other look would be a
    // platform call the run does not make.
    EXPECT_EQ(asked, row.version == std::string(kCurrentInstallerVersion) ? 1 : 0);
    EXPECT_EQ(check.old_installer_version, row.old_installer_version);
    // The launcher stage replaces exactly when NewExe\ is there.
    bool replaced = LauncherStageDue(check) && row.new_exe;
    EXPECT_EQ(replaced, row.launchers_replaced);
    EXPECT_EQ(!EndsBeforeContent(check, replaced), row.content_stage);
  }
}

TEST(InstallerCheck, DefaultsOnlyTheTwoKnownProducts) {
  EXPECT_STREQ(DefaultProductVersion("BraskQuestsInstallerPallum"), "Pallum 2.2");
  EXPECT_STREQ(DefaultProductVersion("BraskQuestsInstallerOriginal"), "1.00");
  EXPECT_EQ(DefaultProductVersion("braskquestsinstallerpallum"), nullptr);
  EXPECT_EQ(DefaultProductVersion("BraskQuestsInstallerPallum "), nullptr);
}

}  // namespace
