// Replacement of the product's launcher files from the package's NewExe\ folder.
#pragma once

#include <string>

// The launcher files, in the order in which they are replaced, one at a time.
inline constexpr const char* kLauncherFiles[] = {
    "setup.exe", "deleter.exe", "UnTv.exe", "mechi.bmp", "logotip.bmp", "fon.bmp", "options.inf",
};

// What a replacement did.
struct LauncherReplacement {
  // False when the package has no NewExe\ folder: then nothing was touched.
  bool ran = false;
  // The installed path of the first file that could not be saved or put in place, or that of
  // the folder OldExe\ where it cannot be made; else "". The files replaced before it are then
  // put back from OldExe\ and the files it added taken away again, so that the product keeps
  // its whole set of launcher files of one version.
  std::string not_replaced;

  bool Complete() const { return ran && not_replaced.empty(); }
};

// Replaces each launcher file that PackageDir\NewExe\ holds, saving the installed one into
// InstallDir\OldExe\ first, unless it holds the new file's bytes already. Both folders end in
// '\'. A replacement that was ended part way is completed by the next.
LauncherReplacement ReplaceLauncherFiles(const std::string& package_dir,
                                         const std::string& install_dir);
