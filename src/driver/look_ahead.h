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
  std::string staging;       // where the content is copied before it takes its name, ending in '\'
  InstallerCheck installer;  // what the installed installer version calls for
  bool replaces_launchers = false;  // the launcher files are due and NewExe\ is there
  bool copies_content = false;      // the content folder is not in the product's folder yet
};

// The first thing the plan's stages would not manage on `machine`, or none.
std::optional<Refusal> LookAhead(UpdateMachine& machine, const UpdatePlan& plan);
