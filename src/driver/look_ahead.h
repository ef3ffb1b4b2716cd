// The run's one look before its first change: what the launcher and content stages will
// need, so that a run that could not complete ends before it has changed the product. It is
// a look ahead, not a lock: another program may still change things afterwards.
#pragma once

#include <optional>
#include <string>

#include "driver/installer_check.h"
#include "driver/refusals.h"
#include "driver/update_machine.h"

// What the run is about to do, and where.
struct UpdatePlan {
  std::string package_dir;  // ending in '\'
  std::string install_dir;  // ending in '\'
  std::string content_folder;
  InstallerCheck installer;         // what the installed installer version calls for
  bool replaces_launchers = false;  // the launcher files are due and NewExe\ is there
  bool copies_content = false;      // the content folder is not in the product's folder yet
};

// The first thing the plan's stages would not manage on `machine`, or none.
std::optional<Refusal> LookAhead(UpdateMachine& machine, const UpdatePlan& plan);

// The content tree's refusal, or none: the tree at `source` in the package (ending in '\') is
// listed and measured by the paths the copy gives Windows, there and at `destination` in the
// product's folder (ending in '\'). Each folder must list in full and each entry answer under
// the name the listing gave. A path that is too long in the product's folder is told first,
// since moving the update does not help there; then a folder or name that cannot be read; then
// a path too long in the package.
std::optional<Refusal> ContentTreeRefusal(UpdateMachine& machine, const std::string& source,
                                          const std::string& destination);
