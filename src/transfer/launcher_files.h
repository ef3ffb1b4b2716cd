// Replacement of the product's launcher files from the package's NewExe\ folder.
#pragma once

#include <string>

// The launcher files, in the order in which they are replaced, one at a time.
inline constexpr const char* kLauncherFiles[] = {
    "setup.exe", "deleter.exe", "UnTv.exe", "mechi.bmp", "logotip.bmp", "fon.bmp", "options.inf",
};

// Replaces each of the seven launcher files that PackageDir\NewExe\ holds, saving the
// installed one into InstallDir\OldExe\ first. True when it ran, false when the package
// has no NewExe\ folder (then nothing is touched). Both folders end in '\'.
bool ReplaceLauncherFiles(const std::string& package_dir, const std::string& install_dir);
