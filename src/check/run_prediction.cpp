#include "check/run_prediction.h"

#include "check/user_machine.h"
#include "driver/update_sequence.h"
#include "support/failure.h"
#include "support/line_file.h"

namespace {

RunEnd EndOf(RunEnd::Kind kind, std::string why = "") {
  return RunEnd{kind, "", "", std::move(why)};
}

// The error box's second line, the message as the box shows it: up to the first NUL.
RunEnd ErrorBox(const char* class_name, const std::string& message) {
  std::string text = FailureText(class_name, "setup.exe", 0, message);
  text = text.substr(0, text.find('\0'));
  return RunEnd{RunEnd::kErrorBox, class_name, text.substr(text.find('\n') + 1), ""};
}

RunEnd CannotTell(const std::string& name) {
  const char* what = name == "ProductVersion" ? "whether this package updates the version"
                                              : "what the installer version calls for";
  return EndOf(RunEnd::kCannotTell,
               "\"" + name + "\" holds a character that the users' code page lacks: " + what +
                   " cannot be told");
}

// How the sequence's end shows, with what the machine saw of it.
RunEnd EndOf(UpdateEnd end, const UserMachine& machine) {
  switch (end) {
    case UpdateEnd::kNothingInstalled:
      return RunEnd{RunEnd::kRefusedNotInstalled, "", machine.box, ""};
    case UpdateEnd::kNoProductVersion:
      return EndOf(RunEnd::kSilentNoVersion,
                   "the record has no \"ProductVersion\", and this product key no default one");
    case UpdateEnd::kVersionNotListed:
      return RunEnd{RunEnd::kRefusedNotListed, "", machine.box, ""};
    case UpdateEnd::kUnsupportedInstaller:
      return EndOf(RunEnd::kSilentInstaller, "the installer \"Version\" " +
                                                 Quoted(machine.installer_version) +
                                                 " is none this updater handles");
    case UpdateEnd::kNoNewLaunchers:
      return EndOf(RunEnd::kSilentInstaller,
                   "the launcher files are due and the package has no NewExe\\");
    case UpdateEnd::kContentPresent:
      return EndOf(RunEnd::kSilentContentPresent,
                   machine.found_own_folder
                       ? "the launcher stage has just made OldExe\\, the content folder's name"
                       : "nothing is copied over a content folder");
    case UpdateEnd::kComplete:
      return EndOf(RunEnd::kComplete);
  }
  return EndOf(RunEnd::kComplete);
}

// One run of the sequence on the user's machine in one case of the product's folder.
struct CaseRun {
  ContentOutcome::When when;
  UserMachine machine;
  RunEnd end;
  size_t writes_before_look_ahead = 0;  // 0 where the run ends before its plan
  bool refused_before_changes = false;

  bool SameAs(const CaseRun& other) const {
    return end.kind == other.end.kind && end.box_text == other.end.box_text &&
           end.why == other.end.why && machine.writes.size() == other.machine.writes.size() &&
           machine.stage_begun == other.machine.stage_begun;
  }
};

void Run(CaseRun& run, const UpdateInputs& inputs) {
  UserMachine& machine = run.machine;
  bool planned = false;
  try {
    if (std::optional<UpdateEnd> end = PassVersionGate(machine, inputs)) {
      run.end = EndOf(*end, machine);
      return;
    }
    const UpdatePlan plan = PlanUpdate(machine, inputs);
    planned = true;
    run.writes_before_look_ahead = machine.writes.size();
    run.end = EndOf(CarryOutUpdate(machine, inputs, plan), machine);
  } catch (const CannotTellValue& value) {
    run.end = CannotTell(value.name);
  } catch (const Exception& failure) {
    PendingIoError = 0;  // set.inf changed since it was checked, say
    run.end = ErrorBox(failure.ClassName(), failure.Message());
    run.refused_before_changes = planned && !machine.stage_begun;
  }
}

ContentOutcome OutcomeOf(const CaseRun& run, size_t common_writes) {
  const UserMachine& machine = run.machine;
  ContentOutcome outcome;
  outcome.when = run.when;
  outcome.end = run.end;
  outcome.refused_before_changes = run.refused_before_changes;
  outcome.launchers_replaced = machine.launchers_replaced;
  if (machine.writes.size() > common_writes) {
    outcome.writes.assign(machine.writes.begin() + static_cast<std::ptrdiff_t>(common_writes),
                          machine.writes.end());
  }
  outcome.content_copied = machine.content_copied;
  outcome.uninstall_copied = machine.package_file_copied;
  outcome.started = machine.started;
  return outcome;
}

}  // namespace

const char* KindName(RunEnd::Kind kind) {
  switch (kind) {
    case RunEnd::kErrorBox:
      return "error-box";
    case RunEnd::kRefusedNotInstalled:
      return "refused-nothing-installed";
    case RunEnd::kSilentNoVersion:
      return "silent-no-product-version";
    case RunEnd::kRefusedNotListed:
      return "refused-version-not-listed";
    case RunEnd::kSilentInstaller:
      return "silent-installer";
    case RunEnd::kSilentContentPresent:
      return "silent-content-present";
    case RunEnd::kComplete:
      return "complete";
    case RunEnd::kCannotTell:
      return "cannot-tell";
  }
  return "";
}

int ExitCodeOf(const RunEnd& end) {
  if (end.kind == RunEnd::kCannotTell) {
    return -1;
  }
  return end.kind == RunEnd::kErrorBox ? 1 : 0;
}

BoxShown BoxOf(const RunEnd& end) {
  if (end.kind == RunEnd::kErrorBox) {
    // Where in the program it was raised is the run's own: shown as 00000000.
    return BoxShown{
        true, "Application Error",
        "Exception " + end.box_class + " in module setup.exe at 00000000.\n" + end.box_text};
  }
  if (!end.box_text.empty()) {
    return BoxShown{true, "Error", end.box_text};  // MessageBoxA's caption when given none
  }
  return BoxShown{};
}

const RunEnd& EndWhereContentAbsent(const RunPrediction& prediction) {
  if (prediction.end) {
    return *prediction.end;
  }
  for (const ContentOutcome& outcome : prediction.content) {
    if (outcome.when == ContentOutcome::kContentAbsent) {
      return outcome.end;
    }
  }
  return prediction.content.front().end;  // no content folder named: the product's folder
}

const char* WhenName(ContentOutcome::When when) {
  switch (when) {
    case ContentOutcome::kContentAbsent:
      return "content-folder-absent";
    case ContentOutcome::kContentPresent:
      return "content-folder-present";
    case ContentOutcome::kInstallDirMissing:
      return "install-dir-missing";
    case ContentOutcome::kCompletedBefore:
      return "completed-before";
  }
  return "";
}

RunPrediction PredictRun(const PackageFacts& facts, const UserRecord& record,
                         const std::string& package_dir, bool package_dir_known) {
  RunPrediction prediction;
  // The run reads options.inf from where it is started, then set.inf.
  if ((package_dir + "options.inf").size() > kLongestLineFilePath) {
    prediction.end = ErrorBox("EInOutError", IoErrorText(ERROR_PATH_NOT_FOUND));
    return prediction;
  }
  if (facts.options_error != 0 || facts.set_error != 0) {
    prediction.end =
        ErrorBox("EInOutError",
                 IoErrorText(facts.options_error != 0 ? facts.options_error : facts.set_error));
    return prediction;
  }
  UpdateInputs inputs;
  inputs.product_key = facts.product_key;
  inputs.install_dir = ProductFolder(kDefaultWindowsDir, facts.product_key);
  inputs.package_dir = package_dir;
  inputs.content_folder = facts.content_folder;
  inputs.package_read_at = facts.folder;
  prediction.install_dir = inputs.install_dir;

  // With no name, the content folder is the product's folder itself, there when it is.
  std::vector<ContentOutcome::When> cases = {ContentOutcome::kContentPresent,
                                             ContentOutcome::kInstallDirMissing};
  if (!facts.content_folder.empty()) {
    cases.insert(cases.begin(), ContentOutcome::kContentAbsent);
  }
  std::vector<CaseRun> runs;
  for (ContentOutcome::When when : cases) {
    runs.push_back(CaseRun{
        when, UserMachine(facts, record, package_dir, package_dir_known, inputs.install_dir, when),
        RunEnd{}, 0, false});
    Run(runs.back(), inputs);
  }
  // The content folder already there, the run goes as far as it can without copying it: its
  // writes and launcher files are those of every case that is not refused.
  const CaseRun& present = runs[runs.size() - 2];
  prediction.key_path = present.machine.key_path;
  prediction.key_found = present.machine.key_found;
  prediction.writes = present.machine.writes;
  prediction.writes_before_look_ahead = present.writes_before_look_ahead;
  prediction.launchers_replaced = present.machine.launchers_replaced;
  if (prediction.launchers_replaced) {
    prediction.launcher_files = facts.new_launcher_files;
  }
  bool all_same = true;
  for (const CaseRun& run : runs) {
    all_same = all_same && run.SameAs(present);
  }
  if (all_same) {
    prediction.end = present.end;  // the run ends before the product's folder matters
    return prediction;
  }
  for (const CaseRun& run : runs) {
    prediction.content.push_back(OutcomeOf(run, prediction.writes.size()));
  }
  // Started again on the product as a complete run of it left it: the repeated run.
  const CaseRun& absent = runs.front();
  if (absent.when == ContentOutcome::kContentAbsent && absent.end.kind == RunEnd::kComplete) {
    CaseRun again{ContentOutcome::kCompletedBefore,
                  UserMachine(facts, record, package_dir, package_dir_known, inputs.install_dir,
                              ContentOutcome::kCompletedBefore, absent.machine.Values()),
                  RunEnd{}, 0, false};
    Run(again, inputs);
    prediction.content.push_back(OutcomeOf(again, 0));
  }
  return prediction;
}
