#include "driver/update_run.h"

#include <optional>
#include <string>

#include "driver/installer_check.h"
#include "driver/look_ahead.h"
#include "driver/refusals.h"
#include "driver/registry_record.h"
#include "driver/run_lock.h"
#include "driver/start_program.h"
#include "package/package_files.h"
#include "platform/platform.h"
#include "support/folders.h"
#include "support/line_file.h"
#include "support/message_box.h"
#include "transfer/folder_copy.h"
#include "transfer/launcher_files.h"

namespace {

// The state of the one run, empty until the run sets it; the installer check (InstallerCheck)
// holds whether the launcher files are due and whether the installer is one this updater handles.
struct RunState {
  std::string product_key;
  std::string install_dir;  // Windows directory \ ProductKey \ .
  std::string package_dir;  // the updater's folder, ending in '\'
  std::string content_folder;
  std::string installed_product_version;
  std::string last_listed_version;
  std::string installer_version;
};

RunState run;
// The run's one accessor of the product's registry record, kept until the process ends.
RegistryRecord record;

std::string RecordPath() {
  return "\\Software\\" + run.product_key;
}

// One access of the record each: open the key, write or ask, close it again.
void WriteRecordText(const char* name, const std::string& text) {
  record.OpenRecord(RecordPath());
  record.WriteTextValue(name, text);
  record.CloseRecord();
}

bool RecordHasValue(const char* name) {
  record.OpenRecord(RecordPath());
  bool present = record.HasValue(name);
  record.CloseRecord();
  return present;
}

std::string RefusalStart() {
  return "This updater can update only " + run.last_listed_version + " version!\r";
}

// Nothing is installed: the message names the last version the package can update.
void RefuseNothingInstalled() {
  run.last_listed_version = GetLastSupportedVersion(run.package_dir);
  ShowMessageBox(RefusalStart() + "But nothing is installed!");
}

// True when the installed product version is one this package updates; otherwise the user
// has been told why not, or the record holds no version at all.
bool PassVersionGate() {
  record.SetRoot(HKEY_LOCAL_MACHINE);
  if (!record.RecordExists(RecordPath())) {
    RefuseNothingInstalled();
    return false;
  }
  if (!RecordHasValue("ProductVersion")) {
    if (const char* default_version = DefaultProductVersion(run.product_key)) {
      WriteRecordText("ProductVersion", default_version);
    }
  }
  if (!RecordHasValue("ProductVersion")) {
    return false;
  }
  run.installed_product_version.clear();
  record.OpenRecord(RecordPath());
  run.installed_product_version = record.ReadTextValue("ProductVersion");
  record.CloseRecord();

  VersionScan scan = FindSupportedVersion(run.package_dir, run.installed_product_version);
  run.last_listed_version = scan.last_listed_version;
  if (!scan.found) {
    ShowMessageBox(RefusalStart() + "Version " + run.installed_product_version +
                   " is installed already.");
    return false;
  }
  return true;
}

// The installed installer version decides whether the launcher files are due, and is
// recorded as the old installer version when they are.
InstallerCheck CheckInstaller() {
  run.installer_version.clear();
  record.OpenRecord(RecordPath());
  bool has_version = record.HasValue("Version");
  if (has_version) {
    run.installer_version = record.ReadTextValue("Version");
  }
  record.CloseRecord();

  InstallerCheck check = CheckInstallerVersion(has_version, run.installer_version, [] {
    return DirectoryExists(run.package_dir + "NewExe\\");
  });
  if (check.old_installer_version) {
    WriteRecordText("OldInstVer", *check.old_installer_version);
  }
  return check;
}

std::string InstalledContent() {
  return run.install_dir + run.content_folder + "\\";
}

// Before its first change, the run looks at what its stages will need, and ends with the
// error box when one of them could not be carried out whole. Returns what it looked at.
UpdatePlan LookBeforeChanging(const InstallerCheck& check) {
  UpdatePlan plan;
  plan.package_dir = run.package_dir;
  plan.install_dir = run.install_dir;
  plan.content_folder = run.content_folder;
  plan.replaces_launchers =
      LauncherStageDue(check) && DirectoryExists(run.package_dir + "NewExe\\");
  plan.copies_content =
      !EndsBeforeContent(check, plan.replaces_launchers) && !DirectoryExists(InstalledContent());
  if (std::optional<Refusal> refusal = LookAhead(plan)) {
    Refuse(*refusal);
  }
  return plan;
}

// True when the launcher files were replaced. A file that could not be put in place ends the
// run, with the product's launcher files as they were and "Version" not written.
bool RunLauncherStage(const UpdatePlan& plan) {
  // Only what the look-ahead has seen is replaced.
  if (!plan.replaces_launchers) {
    return false;
  }
  const LauncherReplacement replacement = ReplaceLauncherFiles(run.package_dir, run.install_dir);
  if (!replacement.ran) {
    return false;
  }
  if (!replacement.Complete()) {
    Refuse(LauncherFileNotReplaced(replacement.not_replaced));
  }
  record.OpenRecord(RecordPath());
  record.WriteTextValue("Version", kCurrentInstallerVersion);
  record.WriteFlagValue("MakeDeUpdate", false);
  record.CloseRecord();
  return true;
}

// Copies the content folder into the product's folder unless it is there already; true
// when it was copied.
bool RunContentStage() {
  const std::string installed_content = InstalledContent();
  if (DirectoryExists(installed_content)) {
    return false;
  }
  MakeDirectory(installed_content);  // a failure stays pending until the copy's first check
  CopyFolder(run.package_dir + run.content_folder + "\\", installed_content);

  record.OpenRecord(RecordPath());
  record.WriteTextValue("ToDo", run.content_folder);
  record.WriteTextValue("ToDelPath", run.package_dir);
  record.CloseRecord();
  return true;
}

}  // namespace

void RunUpdate() {
  HoldRunLock();
  run.product_key = ReadProductKey();
  run.install_dir = GetWindowsDir() + "\\" + run.product_key + "\\";
  run.package_dir = GetPackageDir();
  run.content_folder = ReadContentFolder(run.package_dir);

  if (!PassVersionGate()) {
    return;
  }
  const InstallerCheck check = CheckInstaller();
  const UpdatePlan plan = LookBeforeChanging(check);
  const bool launchers_replaced = RunLauncherStage(plan);
  if (EndsBeforeContent(check, launchers_replaced)) {
    return;
  }
  if (!RunContentStage()) {
    return;
  }
  // The target name is "uninstall.in": the product's setup program looks for that name.
  CopyFileA((run.package_dir + "uninstall.inf").c_str(), (run.install_dir + "uninstall.in").c_str(),
            FALSE);
  StartProgram(run.install_dir + "setup.exe");
}
