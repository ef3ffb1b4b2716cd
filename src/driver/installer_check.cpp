#include "driver/installer_check.h"

namespace {

const char kPallumKey[] = "BraskQuestsInstallerPallum";
const char kOriginalKey[] = "BraskQuestsInstallerOriginal";

// Recorded as the old installer version when the record has no "Version" at all.
const char kEarliestInstallers[] = "1.0 or 1.1";

}  // namespace

const char* DefaultProductVersion(const std::string& product_key) {
  if (product_key == kPallumKey) {
    return "Pallum 2.2";
  }
  if (product_key == kOriginalKey) {
    return "1.00";
  }
  return nullptr;
}

InstallerCheck CheckInstallerVersion(bool has_version, const std::string& installer_version,
                                     const std::function<bool()>& package_brings_new_launchers) {
  InstallerCheck check;
  if (!has_version) {
    check.launcher_update_pending = true;
    check.old_installer_version = kEarliestInstallers;
  } else if (installer_version == kCurrentInstallerVersion) {
    // Launcher files of the current version are replaced again only from a package that
    // brings other ones.
    if (package_brings_new_launchers()) {
      check.launcher_update_pending = true;
      check.old_installer_version = installer_version;
    }
  } else if (installer_version == "1.2" || installer_version == "1.3") {
    check.launcher_update_pending = true;
    check.old_installer_version = installer_version;
  } else {
    check.unsupported_installer = true;
  }
  return check;
}

bool LauncherStageDue(const InstallerCheck& check) {
  return check.launcher_update_pending && !check.unsupported_installer;
}

bool EndsBeforeContent(const InstallerCheck& check, bool launchers_replaced) {
  return check.unsupported_installer || (check.launcher_update_pending && !launchers_replaced);
}
