// What the update's steps ask of the machine they run on, and every change they make to it. The
// run works on the platform (driver/platform_machine.h); the package check's prediction on a
// model of a user's machine (check/user_machine.h), so that both follow the one sequence of
// driver/update_sequence.h. Paths are Windows paths, as the run forms them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "transfer/folder_walk.h"
#include "transfer/launcher_files.h"

// One value the run writes into the product's record.
struct RecordWrite {
  std::string name;
  DWORD type = REG_SZ;
  std::string text;  // REG_SZ: the text written (without its NUL)
  DWORD number = 0;  // REG_DWORD: the number written
};

class UpdateMachine {
 public:
  virtual ~UpdateMachine() = default;

  // The product's record, the key at `path` below HKEY_LOCAL_MACHINE ("\Software\..."). Each
  // call is one access of its own: the key is opened, asked or written, and closed again.
  virtual bool RecordExists(const std::string& path) = 0;
  virtual bool RecordHasValue(const std::string& path, const char* name) = 0;
  // The value's text, "" when it is absent or empty. Raises ERegistryException for a value
  // that holds no text.
  virtual std::string ReadRecordText(const std::string& path, const char* name) = 0;
  // The same in one access with the question whether the record has the value: none when not.
  virtual std::optional<std::string> ReadRecordTextIfPresent(const std::string& path,
                                                             const char* name) = 0;
  // Writes the values in their order; raises ERegistryException at the first that fails.
  virtual void WriteRecord(const std::string& path, const std::vector<RecordWrite>& values) = 0;
  virtual void DeleteRecordValue(const std::string& path, const char* name) = 0;

  // What the look-ahead asks of folders and files.
  virtual std::string TempDir() = 0;
  virtual bool DirectoryExists(const std::string& path) = 0;
  virtual bool FileExists(const std::string& path) = 0;
  virtual DWORD FileAttributes(const std::string& path) = 0;
  // 0 when the file opens with `access` and `share` and closes again, else Windows' code.
  virtual DWORD OpenFailure(const std::string& path, DWORD access, DWORD share) = 0;
  // True when both files open and hold the same bytes.
  virtual bool SameBytes(const std::string& a, const std::string& b) = 0;
  // The look-ahead's walk of the content tree inside `source` (ending in '\'). The run lists
  // from the same walk what its copy into `staging` is to do, for CopyContent to carry out,
  // so that the tree is listed once.
  virtual void WalkContent(const std::string& source, const std::string& staging,
                           const EntryVisitor& entry, const UnlistedVisitor& unlisted) = 0;
  // False where the folder the package is started from is not known, so that the paths in it
  // cannot be measured against Windows' limits.
  virtual bool PackageDirKnown() = 0;

  // The stages: the launcher files from PackageDir\NewExe\ (both paths ending in '\'); the
  // content tree copied into the staging folder `staging` (made anew), as the look-ahead's walk
  // listed it, which ends the run with a refusal when a file cannot be copied; the staged folder
  // given the content folder's name in one step, 0 when done, else Windows' code; and the staging
  // folder taken away, with whatever it holds.
  virtual LauncherReplacement ReplaceLauncherFiles(const std::string& package_dir,
                                                   const std::string& install_dir) = 0;
  virtual void CopyContent(const std::string& source, const std::string& staging) = 0;
  virtual DWORD PutContentInPlace(const std::string& staging, const std::string& content) = 0;
  virtual void RemoveStaging(const std::string& staging) = 0;
  // A file of the package copied over the target: 0 when done, else Windows' code.
  virtual DWORD CopyPackageFile(const std::string& source, const std::string& target) = 0;

  // The user: a box with an OK button, and the program started at the end.
  virtual void ShowBox(const std::string& text) = 0;
  virtual void StartProgram(const std::string& path) = 0;
};
