#include "transfer/launcher_files.h"

#include <vector>

#include "platform/platform.h"
#include "support/folders.h"
#include "transfer/file_steps.h"

namespace {

// A file put in place, and whether an installed one was saved for it.
struct PutInPlace {
  const char* name;
  bool saved;
};

// Writes `source` under the installed file's temporary name, then gives it the file's name in
// one step, so that the product never holds a partial launcher file. `replacing` when a file is
// installed under the name.
bool PutFile(const std::string& source, const std::string& installed_file, bool replacing) {
  const std::string temporary = TemporaryNameOf(installed_file);
  // A copy of a read-only file that a run ended before its rename left is no copy's target.
  auto copied = [&] {
    return CopyFileRetried(source, temporary, false) ||
           (GetLastError() == ERROR_ACCESS_DENIED && ClearReadOnly(temporary) &&
            CopyFileRetried(source, temporary, false));
  };
  if (copied() &&
      MoveRetried(temporary, installed_file, replacing ? MOVEFILE_REPLACE_EXISTING : 0)) {
    return true;
  }
  const DWORD code = GetLastError();
  if (!DeleteFileA(temporary.c_str()) && GetLastError() == ERROR_ACCESS_DENIED &&
      ClearReadOnly(temporary)) {
    DeleteFileA(temporary.c_str());
  }
  SetLastError(code);
  return false;
}

// Puts the installed files back as they were before the replacement, last first: a saved
// one from OldExe\, and a file that was not installed before is taken away again.
void PutBack(const std::vector<PutInPlace>& done, const std::string& install_dir,
             const std::string& saved_folder) {
  for (auto it = done.rbegin(); it != done.rend(); ++it) {
    const std::string installed_file = install_dir + it->name;
    if (it->saved) {
      PutFile(saved_folder + it->name, installed_file, true);
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
  if (!EnsureFolder(saved_folder)) {
    result.not_replaced = saved_folder;
    return result;
  }
  std::vector<PutInPlace> done;
  for (const char* name : kLauncherFiles) {
    const std::string new_file = new_folder + name;
    const std::string installed_file = install_dir + name;
    // Only a file that is not there is one the package does not bring: one that cannot be seen
    // would leave the set of two versions.
    const DWORD new_attributes = GetFileAttributesA(new_file.c_str());
    if (new_attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD code = GetLastError();
      if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
        continue;
      }
      result.not_replaced = installed_file;
      break;
    }
    if ((new_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      continue;
    }
    const bool installed = FileExists(installed_file);
    // A file that a run of this package put in place already is kept as it is, and so is the
    // saved file from before that run.
    if (installed && SameBytes(installed_file, new_file)) {
      continue;
    }
    // An installed file that could not be saved stays as it is, so that no version of it is
    // lost. A file whose attributes could not be read may still be there, unsaved: the new one
    // goes in only where nothing is in its way.
    if ((installed && !CopyFileRetried(installed_file, saved_folder + name, false)) ||
        !PutFile(new_file, installed_file, installed)) {
      result.not_replaced = installed_file;
      break;
    }
    done.push_back(PutInPlace{name, installed});
  }
  if (!result.not_replaced.empty()) {
    PutBack(done, install_dir, saved_folder);
  }
  return result;
}
