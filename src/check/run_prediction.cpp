#include "check/run_prediction.h"

#include "driver/installer_check.h"
#include "driver/look_ahead.h"
#include "driver/refusals.h"
#include "driver/registry_record.h"
#include "package/package_files.h"
#include "support/failure.h"
#include "support/folders.h"
#include "support/line_file.h"
#include "transfer/launcher_files.h"

namespace {

using emu::registry::Hive;
using emu::registry::Key;
using emu::registry::Value;

// The 32-bit updater on a 64-bit Windows sees "Software" as "Software\Wow6432Node".
const char* const kRecordParents[] = {"Software\\Wow6432Node\\", "Software\\"};

// Where the exported record stands in for the product's key, and the writes made to it.
struct Record {
  Key values;
  std::vector<RecordWrite>* writes = nullptr;
  const UserRecord* user = nullptr;

  // True when the exported value holds a character the users' code page lacks.
  bool Unmapped(const char* name) const { return user->Unmapped(values.path, name); }

  bool Has(const char* name) const { return values.FindValue(name) != nullptr; }

  void WriteText(const char* name, const std::string& text) {
    values.SetValue(name, REG_SZ, text + '\0');
    writes->push_back(RecordWrite{name, REG_SZ, text, 0});
  }

  void WriteFlag(const char* name, bool flag) {
    const char data[4] = {flag ? '\1' : '\0', 0, 0, 0};
    values.SetValue(name, REG_DWORD, std::string(data, sizeof data));
    writes->push_back(RecordWrite{name, REG_DWORD, "", flag ? 1u : 0u});
  }

  // The value's text as the run reads it: empty data reads as "" whatever its type, since
  // the run asks for no more once its size is 0; no text for a value of another type.
  std::optional<std::string> Text(const char* name) const {
    const Value* value = values.FindValue(name);
    if (value == nullptr || value->data.empty()) {
      return std::string();
    }
    return StoredText(value->type, value->data);
  }
};

RunEnd EndOf(RunEnd::Kind kind, std::string why = "") {
  return RunEnd{kind, "", "", std::move(why)};
}

// A box shows its text up to the first NUL.
std::string AsShown(std::string text) {
  return text.substr(0, text.find('\0'));
}

// The error box's second line, the message as the box shows it.
RunEnd ErrorBox(const char* class_name, const std::string& message) {
  std::string text = AsShown(FailureText(class_name, "setup.exe", 0, message));
  return RunEnd{RunEnd::kErrorBox, class_name, text.substr(text.find('\n') + 1), ""};
}

RunEnd CannotTell(const char* name, const std::string& what) {
  return EndOf(RunEnd::kCannotTell, "\"" + std::string(name) +
                                        "\" holds a character that the users' code page lacks: " +
                                        what + " cannot be told");
}

// The content folder the launcher stage has just made, whatever the case of its name and the
// dots and blanks Windows drops at its end.
bool IsOldExe(std::string name) {
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) {
    name.pop_back();
  }
  return emu::registry::FoldCase(name) == "oldexe";
}

RunEnd IoErrorBox(std::int32_t code) {
  return ErrorBox("EInOutError", IoErrorText(code));
}

RunEnd RefusalBox(const Refusal& refusal) {
  return ErrorBox("EInOutError", refusal.text);
}

// Where the user's run is told from the package and the record: the user's folders as far as
// they are known, and the package where this program finds it.
struct Where {
  const PackageFacts& facts;
  const std::string& package_dir;
  bool package_dir_known;
  const std::string& install_dir;
};

// What the look-ahead refuses of the content stage, as far as the package tells: the
// temporary folder and the user's own files are the user's machine's.
std::optional<Refusal> ContentRefusal(const Where& where) {
  const std::string& content = where.facts.content_folder;
  if (content.empty()) {
    return ContentFolderUnnamed();
  }
  const std::string source = where.package_dir + content;
  const std::string destination = where.install_dir + content;
  if (auto refusal = CopyDestinationRefusal(destination, true)) {
    return refusal;
  }
  if (where.package_dir_known) {
    if (auto refusal = CopySourceRefusal(source, true)) {
      return refusal;
    }
  }
  const std::string walked = where.facts.folder + content + "\\";
  if (!DirectoryExists(walked)) {
    return ContentFolderMissing(source + "\\");
  }
  if (!where.facts.content_walk_ends) {
    return std::nullopt;  // the run's walk would not end either: the findings say so
  }
  return ContentTreeRefusal(walked, source + "\\", destination + "\\", where.package_dir_known);
}

ContentOutcome RefusedOutcome(ContentOutcome::When when, const Refusal& refusal) {
  ContentOutcome outcome;
  outcome.when = when;
  outcome.end = RefusalBox(refusal);
  outcome.refused_before_changes = true;
  return outcome;
}

RunEnd RefusalMessage(RunEnd::Kind kind, const std::string& last_listed, const std::string& rest) {
  return RunEnd{kind, "",
                AsShown("This updater can update only " + last_listed + " version!\r" + rest), ""};
}

ContentOutcome Outcome(ContentOutcome::When when, RunEnd end) {
  ContentOutcome outcome;
  outcome.when = when;
  outcome.end = std::move(end);
  return outcome;
}

// The content stage, by what the product's folder holds, and the look-ahead's refusals where
// the content stage is due.
void PredictContent(const Where& where, RunPrediction& prediction) {
  const PackageFacts& facts = where.facts;
  const std::string& package_dir = where.package_dir;
  const std::optional<Refusal> content_refusal = ContentRefusal(where);
  // With no name, the content folder is the product's folder itself, there when it is.
  if (!facts.content_folder.empty() && content_refusal) {
    prediction.content.push_back(RefusedOutcome(ContentOutcome::kContentAbsent, *content_refusal));
  } else if (!facts.content_folder.empty() && !facts.content_case_clash.empty()) {
    // The copy ends at the second folder of one name, the content folder half copied.
    ContentOutcome absent =
        Outcome(ContentOutcome::kContentAbsent, IoErrorBox(ERROR_ALREADY_EXISTS));
    absent.content_copied = true;
    prediction.content.push_back(std::move(absent));
  } else if (!facts.content_folder.empty() && prediction.launchers_replaced &&
             IsOldExe(facts.content_folder)) {
    prediction.content.push_back(
        Outcome(ContentOutcome::kContentAbsent,
                EndOf(RunEnd::kSilentContentPresent,
                      "the launcher stage has just made OldExe\\, the content folder's name")));
  } else if (!facts.content_folder.empty()) {
    ContentOutcome absent = Outcome(ContentOutcome::kContentAbsent, EndOf(RunEnd::kComplete));
    absent.content_copied = true;
    absent.writes = {RecordWrite{"ToDo", REG_SZ, facts.content_folder, 0},
                     RecordWrite{"ToDelPath", REG_SZ, package_dir, 0}};
    absent.uninstall_copied = facts.has_uninstall_inf;
    absent.started = prediction.install_dir + "setup.exe";
    prediction.content.push_back(std::move(absent));
  }
  prediction.content.push_back(
      Outcome(ContentOutcome::kContentPresent,
              EndOf(RunEnd::kSilentContentPresent, "nothing is copied over a content folder")));
  // The product's folder itself: the launcher files have nowhere to go; otherwise the content
  // folder cannot be made, so the copy's first check reports it.
  if (prediction.launchers_replaced) {
    prediction.content.push_back(RefusedOutcome(ContentOutcome::kInstallDirMissing,
                                                ProductFolderMissing(where.install_dir)));
  } else if (content_refusal) {
    prediction.content.push_back(
        RefusedOutcome(ContentOutcome::kInstallDirMissing, *content_refusal));
  } else {
    prediction.content.push_back(
        Outcome(ContentOutcome::kInstallDirMissing, IoErrorBox(ERROR_PATH_NOT_FOUND)));
  }
  for (ContentOutcome& outcome : prediction.content) {
    outcome.launchers_replaced = prediction.launchers_replaced && !outcome.refused_before_changes;
  }
}

void PredictFromRecord(const Where& where, Record& record, RunPrediction& prediction) {
  const PackageFacts& facts = where.facts;
  if (!record.Has("ProductVersion")) {
    if (const char* default_version = DefaultProductVersion(facts.product_key)) {
      record.WriteText("ProductVersion", default_version);
    }
  }
  if (!record.Has("ProductVersion")) {
    prediction.end = EndOf(RunEnd::kSilentNoVersion,
                           "the record has no \"ProductVersion\", and this product key no "
                           "default one");
    return;
  }
  if (record.Unmapped("ProductVersion")) {
    prediction.end = CannotTell("ProductVersion", "whether this package updates the version");
    return;
  }
  std::optional<std::string> installed = record.Text("ProductVersion");
  if (!installed) {
    prediction.end = ErrorBox("ERegistryException", "Invalid data type for 'ProductVersion'");
    return;
  }
  VersionScan scan = FindSupportedVersion(facts.folder, *installed);
  if (!scan.found) {
    prediction.end = RefusalMessage(RunEnd::kRefusedNotListed, scan.last_listed_version,
                                    "Version " + *installed + " is installed already.");
    return;
  }

  const bool has_version = record.Has("Version");
  if (has_version && record.Unmapped("Version")) {
    prediction.end = CannotTell("Version", "what the installer version calls for");
    return;
  }
  std::optional<std::string> installer = record.Text("Version");
  if (!installer) {
    prediction.end = ErrorBox("ERegistryException", "Invalid data type for 'Version'");
    return;
  }
  InstallerCheck check =
      CheckInstallerVersion(has_version, *installer, [&] { return facts.has_new_exe; });
  if (check.old_installer_version) {
    record.WriteText("OldInstVer", *check.old_installer_version);
  }
  prediction.writes_before_look_ahead = prediction.writes.size();
  // The replacement runs exactly when the package has its NewExe\ folder, and its paths fit.
  if (LauncherStageDue(check) && facts.has_new_exe) {
    for (const char* name : kLauncherFiles) {
      if (auto refusal = LauncherPathRefusal(where.package_dir, where.install_dir, name,
                                             where.package_dir_known)) {
        prediction.end = RefusalBox(*refusal);
        return;
      }
    }
  }
  prediction.launchers_replaced = LauncherStageDue(check) && facts.has_new_exe;
  if (prediction.launchers_replaced) {
    prediction.launcher_files = facts.new_launcher_files;
    record.WriteText("Version", kCurrentInstallerVersion);
    record.WriteFlag("MakeDeUpdate", false);
  }
  if (EndsBeforeContent(check, prediction.launchers_replaced)) {
    prediction.end = EndOf(
        RunEnd::kSilentInstaller,
        check.unsupported_installer
            ? "the installer \"Version\" " + Quoted(*installer) + " is none this updater handles"
            : "the launcher files are due and the package has no NewExe\\");
    return;
  }
  PredictContent(where, prediction);
}

// The key a path names: the registry skips empty steps, as in "a\\b" or a final '\', so an
// empty product key names "Software" itself.
std::string WithoutEmptySteps(const std::string& path) {
  std::string key;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) {
      end = path.size();
    }
    if (end > start) {
      key += (key.empty() ? "" : "\\") + path.substr(start, end - start);
    }
    start = end + 1;
  }
  return key;
}

// The record as the run looks for it, then the run on it.
void PredictFromHive(const Where& where, const UserRecord& user, RunPrediction& prediction) {
  const Hive& hive = user.hive;
  const PackageFacts& facts = where.facts;
  const Key* found = nullptr;
  for (const char* parent : kRecordParents) {
    prediction.key_path = parent + facts.product_key;
    found = hive.Find(WithoutEmptySteps(prediction.key_path));
    if (found != nullptr) {
      break;
    }
  }
  prediction.key_found = found != nullptr;
  if (found == nullptr) {
    prediction.end =
        RefusalMessage(RunEnd::kRefusedNotInstalled, GetLastSupportedVersion(facts.folder),
                       "But nothing is installed!");
    return;
  }
  Record record{*found, &prediction.writes, &user};
  PredictFromRecord(where, record, prediction);
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
  }
  return "";
}

RunPrediction PredictRun(const PackageFacts& facts, const UserRecord& record,
                         const std::string& package_dir, bool package_dir_known) {
  RunPrediction prediction;
  // The run reads options.inf from where it is started, then set.inf.
  if ((package_dir + "options.inf").size() > kLongestLineFilePath) {
    prediction.end = IoErrorBox(ERROR_PATH_NOT_FOUND);
    return prediction;
  }
  if (facts.options_error != 0 || facts.set_error != 0) {
    prediction.end = IoErrorBox(facts.options_error != 0 ? facts.options_error : facts.set_error);
    return prediction;
  }
  prediction.install_dir = std::string(kDefaultWindowsDir) + "\\" + facts.product_key + "\\";
  try {
    PredictFromHive(Where{facts, package_dir, package_dir_known, prediction.install_dir}, record,
                    prediction);
  } catch (const EInOutError& failure) {
    // set.inf changed since it was checked.
    PendingIoError = 0;
    prediction.end = IoErrorBox(failure.Code());
  }
  return prediction;
}
