// Replacement of the product's launcher files from the package's NewExe\ folder.
#pragma once

#include <string>

// Replaces each of the seven launcher files that PackageDir\NewExe\ holds, saving the
// installed one into InstallDir\OldExe\ first. True when it ran, false when the package
// has no NewExe\ folder (then nothing is touched). Both folders end in '\'.
bool ReplaceLauncherFiles(const std::string& package_dir, const std::string& install_dir);
