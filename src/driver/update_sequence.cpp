#include "driver/update_sequence.h"

#include "driver/installer_check.h"
#include "package/package_files.h"
#include "support/failure.h"
#include "transfer/file_steps.h"

namespace {

RecordWrite Text(const char* name, const std::string& text) {
  return RecordWrite{name, REG_SZ, text, 0};
}

RecordWrite Flag(const char* name, bool flag) {
  return RecordWrite{name, REG_DWORD, "", flag ? 1u : 0u};
}

std::string RefusalStart(const std::string& last_listed_version) {
  return "This updater can update only " + last_listed_version + " version!\r";
}

std::string InstalledContent(const UpdateInputs& inputs) {
  return inputs.install_dir + inputs.content_folder + "\\";
}

// True when the launcher files were replaced. A file that could not be put in place ends the
// run, with the product's launcher files as they were and "Version" not written.
bool RunLauncherStage(UpdateMachine& machine, const UpdateInputs& inputs, const UpdatePlan& plan) {
  // Only what the look-ahead has seen is replaced.
  if (!plan.replaces_launchers) {
    return false;
  }
  const LauncherReplacement replacement =
      machine.ReplaceLauncherFiles(inputs.package_dir, inputs.install_dir);
  if (!replacement.ran) {
    return false;
  }
  if (!replacement.Complete()) {
    Refuse(LauncherFileNotReplaced(replacement.not_replaced));
  }
  // "Version" comes last: it is the record's sign that the launcher stage is done, and a run
  // that finds it written does not come back to this stage.
  machine.WriteRecord(RecordPath(inputs.product_key),
                      {Flag("MakeDeUpdate", false), Text("Version", kCurrentInstallerVersion)});
  return true;
}

// True when a run of this package has given the content folder its name already: the record
// tells the product's setup of it, so that only its start may be missing.
bool ContentPutInPlaceBefore(UpdateMachine& machine, const UpdateInputs& inputs) {
  const std::string record = RecordPath(inputs.product_key);
  return machine.ReadRecordTextIfPresent(record, "ToDo") == inputs.content_folder &&
         machine.ReadRecordTextIfPresent(record, "ToDelPath") == inputs.package_dir;
}

// Copies the content folder into the product's folder unless it is there already; true when it
// was copied, or when a run of this package put it in place and may have ended before the
// product's setup started.
bool RunContentStage(UpdateMachine& machine, const UpdateInputs& inputs, const UpdatePlan& plan) {
  const std::string installed_content = InstalledContent(inputs);
  if (machine.DirectoryExists(installed_content)) {
    return ContentPutInPlaceBefore(machine, inputs);
  }
  const std::string record = RecordPath(inputs.product_key);
  const std::optional<std::string> to_do = machine.ReadRecordTextIfPresent(record, "ToDo");
  const std::optional<std::string> to_delete = machine.ReadRecordTextIfPresent(record, "ToDelPath");
  // The tree is staged beside the content folder and takes its name in one step, so that the
  // content folder, the run's own sign of a content stage done, appears whole or not at all.
  const std::string& staging = plan.staging;
  auto put_record_back = [&] {
    const std::pair<const char*, std::optional<std::string>> before[] = {{"ToDo", to_do},
                                                                         {"ToDelPath", to_delete}};
    for (const auto& [name, text] : before) {
      if (text) {
        machine.WriteRecord(record, {Text(name, *text)});
      } else {
        machine.DeleteRecordValue(record, name);
      }
    }
  };
  // Wherever the stage ends before the folder has its name, the staging folder is taken away;
  // where the record was written by then, it is put back as it was.
  bool record_written = false;
  try {
    machine.CopyContent(inputs.package_dir + inputs.content_folder + "\\", staging);
    // The target name is "uninstall.in": the product's setup program looks for that name. A
    // package without uninstall.inf has none to give it.
    const std::string uninstall = inputs.package_dir + "uninstall.inf";
    if (DWORD code = machine.CopyPackageFile(uninstall, inputs.install_dir + "uninstall.in");
        code != 0 && code != ERROR_FILE_NOT_FOUND) {
      Refuse(ContentFileNotCopied(uninstall, static_cast<std::int32_t>(code)));
    }
    // The record tells of the content folder before it appears: a run ended between the two
    // finds the content folder missing and copies it again, and one ended after it finds the
    // record complete.
    record_written = true;
    machine.WriteRecord(
        record, {Text("ToDo", inputs.content_folder), Text("ToDelPath", inputs.package_dir)});
    if (DWORD code = machine.PutContentInPlace(staging, installed_content); code != 0) {
      Refuse(ContentFolderNotPutInPlace(installed_content, static_cast<std::int32_t>(code)));
    }
  } catch (...) {
    machine.RemoveStaging(staging);
    if (record_written) {
      put_record_back();
    }
    throw;
  }
  return true;
}

// True when NewExe\ holds a launcher file that the product does not have as it is, or one
// whose paths the look-ahead is to refuse.
bool BringsOtherLauncherFiles(UpdateMachine& machine, const UpdateInputs& inputs) {
  for (const char* name : kLauncherFiles) {
    if (LauncherPathRefusal(inputs.package_dir, inputs.install_dir, name,
                            machine.PackageDirKnown())) {
      return true;
    }
    const std::string new_file = inputs.package_dir + "NewExe\\" + name;
    if (machine.FileExists(new_file) && !machine.SameBytes(inputs.install_dir + name, new_file)) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string ProductFolder(const std::string& windows_dir, const std::string& product_key) {
  return windows_dir + "\\" + product_key + "\\";
}

std::string RecordPath(const std::string& product_key) {
  return "\\Software\\" + product_key;
}

std::optional<UpdateEnd> PassVersionGate(UpdateMachine& machine, const UpdateInputs& inputs) {
  const std::string record = RecordPath(inputs.product_key);
  if (!machine.RecordExists(record)) {
    // The message names the last version the package can update.
    machine.ShowBox(RefusalStart(GetLastSupportedVersion(inputs.package_read_at)) +
                    "But nothing is installed!");
    return UpdateEnd::kNothingInstalled;
  }
  if (!machine.RecordHasValue(record, "ProductVersion")) {
    if (const char* default_version = DefaultProductVersion(inputs.product_key)) {
      machine.WriteRecord(record, {Text("ProductVersion", default_version)});
    }
  }
  if (!machine.RecordHasValue(record, "ProductVersion")) {
    return UpdateEnd::kNoProductVersion;
  }
  const std::string installed = machine.ReadRecordText(record, "ProductVersion");
  const VersionScan scan = FindSupportedVersion(inputs.package_read_at, installed);
  if (!scan.found) {
    machine.ShowBox(RefusalStart(scan.last_listed_version) + "Version " + installed +
                    " is installed already.");
    return UpdateEnd::kVersionNotListed;
  }
  return std::nullopt;
}

UpdatePlan PlanUpdate(UpdateMachine& machine, const UpdateInputs& inputs) {
  UpdatePlan plan;
  plan.package_dir = inputs.package_dir;
  plan.install_dir = inputs.install_dir;
  plan.content_folder = inputs.content_folder;
  plan.staging = TemporaryNameOf(inputs.install_dir + inputs.content_folder) + "\\";

  // The installed installer version decides whether the launcher files are due, and is
  // recorded as the old installer version when they are. NewExe\ is asked after once, and
  // only where the answer matters.
  const std::string record = RecordPath(inputs.product_key);
  const std::optional<std::string> installer = machine.ReadRecordTextIfPresent(record, "Version");
  std::optional<bool> has_new_exe;
  auto package_has_new_exe = [&] {
    if (!has_new_exe) {
      has_new_exe = machine.DirectoryExists(inputs.package_dir + "NewExe\\");
    }
    return *has_new_exe;
  };
  plan.installer = CheckInstallerVersion(installer.has_value(), installer.value_or(""), [&] {
    return package_has_new_exe() && BringsOtherLauncherFiles(machine, inputs);
  });
  if (plan.installer.old_installer_version) {
    machine.WriteRecord(record, {Text("OldInstVer", *plan.installer.old_installer_version)});
  }
  plan.replaces_launchers = LauncherStageDue(plan.installer) && package_has_new_exe();
  plan.copies_content = !EndsBeforeContent(plan.installer, plan.replaces_launchers) &&
                        !machine.DirectoryExists(InstalledContent(inputs));
  return plan;
}

UpdateEnd CarryOutUpdate(UpdateMachine& machine, const UpdateInputs& inputs,
                         const UpdatePlan& plan) {
  // Before its first change, the run looks at what its stages will need, and ends with the
  // error box when one of them could not be carried out whole.
  if (std::optional<Refusal> refusal = LookAhead(machine, plan)) {
    Refuse(*refusal);
  }
  const bool launchers_replaced = RunLauncherStage(machine, inputs, plan);
  if (EndsBeforeContent(plan.installer, launchers_replaced)) {
    return plan.installer.unsupported_installer ? UpdateEnd::kUnsupportedInstaller
                                                : UpdateEnd::kNoNewLaunchers;
  }
  if (!RunContentStage(machine, inputs, plan)) {
    return UpdateEnd::kContentPresent;
  }
  machine.StartProgram(inputs.install_dir + "setup.exe");
  return UpdateEnd::kComplete;
}

UpdateEnd RunUpdateSequence(UpdateMachine& machine, const UpdateInputs& inputs) {
  if (std::optional<UpdateEnd> end = PassVersionGate(machine, inputs)) {
    return *end;
  }
  const UpdatePlan plan = PlanUpdate(machine, inputs);
  return CarryOutUpdate(machine, inputs, plan);
}
