#include "transfer/launcher_files.h"

#include <vector>

#include "platform/platform.h"
#include "support/folders.h"
#include "support/line_file.h"

namespace {

// A file put in place, and whether an installed one was saved for it.
struct PutInPlace {
  const char* name;
  bool saved;
};

// Puts the installed files back as they were before the replacement, last first: a saved
// one from OldExe\, and a file that was not installed before is taken away again.
void PutBack(const std::vector<PutInPlace>& done, const std::string& install_dir,
             const std::string& saved_folder) {
  for (auto it = done.rbegin(); it != done.rend(); ++it) {
    const std::string installed_file = install_dir + it->name;
    if (it->saved) {
      CopyFileA((saved_folder + it->name).c_str(), installed_file.c_str(), FALSE);
    } else {
      DeleteFileA(installed_file.c_str());
    }
  }
}

}  // namespace

LauncherReplacement ReplaceLauncherFiles(const std::string& package_dir,
                                         const std::string& install_dir) {
  LauncherReplacement result;
  const std::string new_folder = package_dir + "NewExe\\";
  if (!DirectoryExists(new_folder)) {
    return result;
  }
  result.ran = true;
  const std::string saved_folder = install_dir + "OldExe\\";
  if (!DirectoryExists(saved_folder)) {
    MakeDirectory(saved_folder);  // a failure stays pending until the next check
  }
  std::vector<PutInPlace> done;
  for (const char* name : kLauncherFiles) {
    const std::string new_file = new_folder + name;
    if (!FileExists(new_file)) {
      continue;
    }
    const std::string installed_file = install_dir + name;
    const std::string saved_file = saved_folder + name;
    bool put_in_place;
    bool saved = FileExists(installed_file);
    if (saved) {
      // An installed file that could not be saved stays as it is, so that no version of it
      // is lost.
      if (!CopyFileA(installed_file.c_str(), saved_file.c_str(), FALSE)) {
        result.not_replaced = installed_file;
        break;
      }
      DeleteFileA(installed_file.c_str());
      put_in_place = CopyFileA(new_file.c_str(), installed_file.c_str(), FALSE);
      if (!put_in_place) {
        // The saved copy goes back. Where the deletion is only pending, because another
        // program still holds the file, the name is taken until that program lets go.
        CopyFileA(saved_file.c_str(), installed_file.c_str(), FALSE);
      }
    } else {
      // A file whose attributes could not be read may still be there, unsaved: the new one
      // goes in only where nothing is in its way.
      put_in_place = CopyFileA(new_file.c_str(), installed_file.c_str(), TRUE);
    }
    if (!put_in_place) {
      result.not_replaced = installed_file;
      break;
    }
    done.push_back(PutInPlace{name, saved});
  }
  if (!result.not_replaced.empty()) {
    PutBack(done, install_dir, saved_folder);
  }
  return result;
}
