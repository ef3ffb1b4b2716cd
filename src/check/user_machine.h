// A user's machine as the package check knows it: the package as it is here, the product's
// record as the user exported it, and one case of what the product's folder holds. The update's
// own sequence runs on it; the machine answers what the sequence asks and keeps what it did.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "check/package_check.h"
#include "check/record_file.h"
#include "driver/update_machine.h"

// What the product's folder holds on the user's machine.
enum class ProductFolderCase { kContentAbsent, kContentPresent, kMissing };

// Raised where the run would read a value whose text the users' code page cannot hold: what the
// run makes of it cannot be told.
struct CannotTellValue {
  std::string name;
};

class UserMachine : public UpdateMachine {
 public:
  // `package_dir` is the folder the user starts the update from (ending in '\'), standing for
  // `facts.folder` here; `install_dir` the product's folder there.
  UserMachine(const PackageFacts& facts, const UserRecord& record, std::string package_dir,
              bool package_dir_known, std::string install_dir, ProductFolderCase product_case);

  // What the run did.
  std::string key_path;  // where the record was looked for last, below HKEY_LOCAL_MACHINE
  bool key_found = false;
  std::vector<RecordWrite> writes;
  std::map<std::string, std::string> texts_read;  // the record's texts the run read, by name
  std::string box;                                // the box's text as shown, up to a NUL
  bool stage_begun = false;  // the launcher or the content stage began to change the product
  bool launchers_replaced = false;
  bool content_copied = false;
  bool package_file_copied = false;
  // The folder the run found where the content folder goes is one its launcher stage made.
  bool found_own_folder = false;
  std::string started;

  VersionScan FindSupportedVersion(const std::string& package_dir,
                                   const std::string& installed_version) override;
  std::string GetLastSupportedVersion(const std::string& package_dir) override;

  bool RecordExists(const std::string& path) override;
  bool RecordHasValue(const std::string& path, const char* name) override;
  std::string ReadRecordText(const std::string& path, const char* name) override;
  std::optional<std::string> ReadRecordTextIfPresent(const std::string& path,
                                                     const char* name) override;
  void WriteRecord(const std::string& path, const std::vector<RecordWrite>& values) override;

  std::string TempDir() override;
  bool DirectoryExists(const std::string& path) override;
  bool FileExists(const std::string& path) override;
  DWORD FileAttributes(const std::string& path) override;
  DWORD OpenFailure(const std::string& path, DWORD access, DWORD share) override;
  void WalkFolder(const std::string& folder, const EntryVisitor& entry,
                  const UnlistedVisitor& unlisted) override;
  bool PackageDirKnown() override { return package_dir_known_; }

  LauncherReplacement ReplaceLauncherFiles(const std::string& package_dir,
                                           const std::string& install_dir) override;
  void CopyContent(const std::string& source, const std::string& destination) override;
  void CopyPackageFile(const std::string& source, const std::string& target) override;

  void ShowBox(const std::string& text) override;
  void StartProgram(const std::string& path) override;

 private:
  // The path here of a path in the user's package folder, or none for any other path.
  std::optional<std::string> InPackage(const std::string& path) const;
  // The name of a folder right in the product's folder, as Windows compares names, or none.
  std::optional<std::string> InProduct(const std::string& path) const;

  const PackageFacts& facts_;
  const UserRecord& record_;
  std::string package_dir_;
  bool package_dir_known_;
  std::string install_dir_;
  ProductFolderCase case_;
  std::optional<regfile::Key> values_;  // the record found, with the run's writes
  std::set<std::string> folders_;       // in the product's folder, as Windows compares
  std::set<std::string> made_folders_;  // those the run made
};
