// The run's decisions on the installed product's record: the default product version of the
// two known products, and what the installed installer version means for the launcher files
// and the content. The update run and the package check both decide through these.
#pragma once

#include <functional>
#include <optional>
#include <string>

// The installer version that the launcher files of this package belong to.
inline constexpr char kCurrentInstallerVersion[] = "1.3.1";

// The product version written for a known product whose record lacks one, or nullptr for any
// other product key (compared exactly, case and all).
const char* DefaultProductVersion(const std::string& product_key);

// What the installed installer version calls for.
struct InstallerCheck {
  bool launcher_update_pending = false;
  bool unsupported_installer = false;
  // The value of "OldInstVer" to record, when one is recorded.
  std::optional<std::string> old_installer_version;
};

// Decides from "Version" (`has_version` false when the record lacks it). Whether the package's
// NewExe\ holds launcher files other than the installed ones is asked through
// `package_brings_new_launchers` only where the answer matters, which is for the current
// installer version: where it holds none, a run of this package put them in place already.
InstallerCheck CheckInstallerVersion(bool has_version, const std::string& installer_version,
                                     const std::function<bool()>& package_brings_new_launchers);

// True when the launcher files are to be replaced from NewExe\.
bool LauncherStageDue(const InstallerCheck& check);

// True when the run ends before the content stage: the installer is unsupported, or the
// launcher files were due and not replaced (the package has no NewExe\).
bool EndsBeforeContent(const InstallerCheck& check, bool launchers_replaced);
