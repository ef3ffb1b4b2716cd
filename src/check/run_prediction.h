// What an update run does on a user's machine, told from the package and the product's
// registry record as the user exported it: the update's own sequence, run on a model of that
// machine once for each case of what the product's folder holds.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "check/package_check.h"
#include "check/record_file.h"
#include "driver/update_machine.h"

// One of the ways a run ends.
struct RunEnd {
  enum Kind {
    kErrorBox,              // "Application Error" box, exit code 1
    kRefusedNotInstalled,   // "... But nothing is installed!", exit code 0
    kSilentNoVersion,       // the record has no "ProductVersion"
    kRefusedNotListed,      // "... Version X is installed already.", exit code 0
    kSilentInstaller,       // unsupported installer, or launcher files due and no NewExe\ .
    kSilentContentPresent,  // the content folder is in the product's folder already
    kComplete,              // content copied, record completed, setup.exe started
    kCannotTell,            // rests on what the users' code page makes of the record
  } kind = kComplete;
  std::string box_class;  // the error box's exception class
  std::string box_text;   // the refusal's text, or the error box's second line, up to a NUL
  std::string why;        // for a silent end: what ends the run there
};

// The caption and text of the box the user sees at `end`, when it shows one; a refusal's
// box has no caption of its own.
struct BoxShown {
  bool shown = false;
  std::string caption;
  std::string text;
};
BoxShown BoxOf(const RunEnd& end);

const char* KindName(RunEnd::Kind kind);
// The run's exit code, or -1 when the end cannot be told.
int ExitCodeOf(const RunEnd& end);

// How the content stage goes, by what the user's product folder holds.
struct ContentOutcome {
  // kCompletedBefore: the product as a complete run of this package left it, started again.
  enum When {
    kContentAbsent,
    kContentPresent,
    kInstallDirMissing,
    kCompletedBefore
  } when = kContentAbsent;
  RunEnd end;
  std::vector<RecordWrite> writes;
  // The run's look-ahead refuses in this case: nothing changes after the writes made before it
  // (the launcher files stay, and "Version" and "MakeDeUpdate" are not written).
  bool refused_before_changes = false;
  bool launchers_replaced = false;
  bool content_copied = false;
  bool uninstall_copied = false;
  std::string started;  // the command line of the program started, or ""
};

const char* WhenName(ContentOutcome::When when);

struct RunPrediction {
  std::string key_path;  // the key the record was found at, below HKEY_LOCAL_MACHINE
  bool key_found = false;
  std::string install_dir;
  std::vector<RecordWrite> writes;          // in order, up to the content stage
  size_t writes_before_look_ahead = 0;      // how many of them come before the run's look-ahead
  bool launchers_replaced = false;          // where the content stage does not refuse before them
  std::vector<std::string> launcher_files;  // replaced from NewExe\, installed ones saved
  std::optional<RunEnd> end;                // set when the run ends before the content stage
  std::vector<ContentOutcome> content;      // otherwise: each outcome of the content stage
};

// Predicts the run of the checked package from `package_dir`, the folder the user starts it
// from (ending in '\'), on a machine whose registry `record` holds. Paths in the package are
// measured against Windows' limits only when `package_dir_known`.
RunPrediction PredictRun(const PackageFacts& facts, const UserRecord& record,
                         const std::string& package_dir, bool package_dir_known = true);

// The end a pipeline asks about: the run's end before the content stage, or else where the
// content folder is not in the product's folder (the product's folder itself when unnamed).
const RunEnd& EndWhereContentAbsent(const RunPrediction& prediction);
