#include "transfer/launcher_files.h"

#include "platform/platform.h"
#include "support/folders.h"
#include "support/line_file.h"

bool ReplaceLauncherFiles(const std::string& package_dir, const std::string& install_dir) {
  const std::string new_folder = package_dir + "NewExe\\";
  if (!DirectoryExists(new_folder)) {
    return false;
  }
  const std::string saved_folder = install_dir + "OldExe\\";
  if (!DirectoryExists(saved_folder)) {
    MakeDirectory(saved_folder);  // a failure stays pending until the next check
  }
  for (const char* name : kLauncherFiles) {
    const std::string new_file = new_folder + name;
    if (!FileExists(new_file)) {
      continue;
    }
    const std::string installed_file = install_dir + name;
    BOOL only_where_none = FALSE;
    if (FileExists(installed_file)) {
      // An installed file that could not be saved stays as it is, so that no version of it
      // is lost; a later replacing run tries again.
      if (!CopyFileA(installed_file.c_str(), (saved_folder + name).c_str(), FALSE)) {
        continue;
      }
      DeleteFileA(installed_file.c_str());
    } else {
      // A file whose attributes could not be read may still be there, unsaved: the new one
      // goes in only where nothing is in its way.
      only_where_none = TRUE;
    }
    CopyFileA(new_file.c_str(), installed_file.c_str(), only_where_none);
  }
  return true;
}
