// The check of a package folder: what is wrong with it as shipped, read with the updater's
// own readers, and what of it the prediction of a run needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "check/finding.h"

// What the package says, as the run reads it.
struct PackageFacts {
  std::string folder;  // the package folder as read, ending in '\' ("" for the current one)
  std::string shown;   // the package folder as the author named it
  // The I/O error code of reading options.inf or set.inf as the run reads them; 0 when read.
  std::int32_t options_error = 0;
  std::int32_t set_error = 0;
  std::string product_key;
  std::string content_folder;
  bool has_new_exe = false;
  std::vector<std::string> new_launcher_files;  // the launcher files that NewExe\ holds
  bool has_uninstall_inf = false;
  // The content folder's walk ended: it holds no links that lead back into it.
  bool content_walk_ends = true;
};

struct PackageCheck {
  PackageFacts facts;
  Findings findings;
};

// The Windows folder of a default installation, under which destinations are measured.
inline constexpr char kDefaultWindowsDir[] = "C:\\WINDOWS";

// Checks the package in `folder` (a trailing '\' is added when missing; "" is the current
// folder).
PackageCheck CheckPackage(std::string folder);
