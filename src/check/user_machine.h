// A user's machine as the package check knows it: the package as it is here, the product's
// record as the user exported it, and one case of what the product's folder holds. The update's
// own sequence runs on it; the machine answers what the sequence asks and keeps what it did.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "check/package_check.h"
#include "check/record_file.h"
#include "check/run_prediction.h"
#include "driver/registry_record.h"
#include "driver/update_machine.h"
#include "support/failure.h"
#include "support/folders.h"

// Raised where the run would read a value whose text the users' code page cannot hold: what the
// run makes of it cannot be told.
struct CannotTellValue {
  std::string name;
};

class UserMachine : public UpdateMachine {
 public:
  // `package_dir` is the folder the user starts the update from (ending in '\'), standing for
  // `facts.folder` here; `install_dir` the product's folder there.
  // `left`, where given, is the record as a complete run of this package left it, with the
  // product's folder as that run left it.
  UserMachine(const PackageFacts& facts, const UserRecord& record, const std::string& package_dir,
              bool package_dir_known, const std::string& install_dir, ContentOutcome::When when,
              const std::optional<regfile::Key>& left = std::nullopt)
      : facts_(facts),
        record_(record),
        package_dir_(package_dir),
        package_dir_known_(package_dir_known),
        install_dir_(install_dir),
        when_(when),
        left_(left) {
    if (when == ContentOutcome::kContentPresent || when == ContentOutcome::kCompletedBefore) {
      folders_.insert(AsCompared(facts.content_folder));
    }
  }
  const std::optional<regfile::Key>& Values() const { return values_; }

  // What the run did.
  std::string key_path;  // where the record was looked for last, below HKEY_LOCAL_MACHINE
  bool key_found = false;
  std::vector<RecordWrite> writes;
  std::string installer_version;  // the installer "Version" as the run read it
  std::string box;                // the box's text as shown, up to a NUL
  bool stage_begun = false;       // the launcher or the content stage began to change things
  bool launchers_replaced = false;
  bool content_copied = false;
  bool package_file_copied = false;
  // The folder the run found where the content folder goes is one its launcher stage made.
  bool found_own_folder = false;
  std::string started;

  // The record as the run looks for it: the 32-bit updater on a 64-bit Windows sees "Software"
  // as "Software\Wow6432Node".
  bool RecordExists(const std::string& path) override {
    const std::string below = path.substr(std::string("\\Software\\").size());
    for (const char* view : {"Software\\Wow6432Node\\", "Software\\"}) {
      key_path = view + below;
      if (const regfile::Key* found = record_.hive.Find(WithoutEmptySteps(key_path))) {
        values_ = left_ ? *left_ : *found;
        key_found = true;
        return true;
      }
    }
    return false;
  }
  bool RecordHasValue(const std::string&, const char* name) override {
    return values_ && values_->FindValue(name) != nullptr;
  }
  std::string ReadRecordText(const std::string& path, const char* name) override {
    return ReadRecordTextIfPresent(path, name).value_or("");
  }
  std::optional<std::string> ReadRecordTextIfPresent(const std::string&,
                                                     const char* name) override {
    const regfile::Value* value = values_ ? values_->FindValue(name) : nullptr;
    if (value == nullptr) {
      return std::nullopt;
    }
    if (record_.Unmapped(values_->path, name)) {
      throw CannotTellValue{name};
    }
    // Empty data reads as "" whatever its type: the run asks for no more once its size is 0.
    std::string text = value->data.empty() ? "" : TextOfValue(name, value->type, value->data);
    if (std::string(name) == "Version") {
      installer_version = text;
    }
    return text;
  }
  void WriteRecord(const std::string&, const std::vector<RecordWrite>& values) override {
    for (const RecordWrite& value : values) {
      values_->SetValue(value.name, value.type,
                        value.type == REG_DWORD
                            ? std::string{static_cast<char>(value.number), 0, 0, 0}
                            : value.text + '\0');
      writes.push_back(value);
    }
  }

  void DeleteRecordValue(const std::string&, const char*) override {}

  // The temporary folder is the user's machine's own: taken as usable.
  std::string TempDir() override { return "C:\\TEMP\\"; }
  bool DirectoryExists(const std::string& path) override {
    if (std::optional<std::string> here = InPackage(path)) {
      return ::DirectoryExists(*here);
    }
    std::optional<std::string> name = InProduct(path);
    if (!name) {
      return path == TempDir();
    }
    if (when_ == ContentOutcome::kInstallDirMissing) {
      return false;
    }
    found_own_folder = made_folders_.count(*name) != 0;
    return name->empty() || folders_.count(*name) != 0;
  }
  bool FileExists(const std::string& path) override {
    std::optional<std::string> here = InPackage(path);
    return here && ::FileExists(*here);
  }
  // The product's files are the user's: none is known to stand in the way.
  DWORD FileAttributes(const std::string&) override { return INVALID_FILE_ATTRIBUTES; }
  // A file of the package that does not open here is one of the findings; the user's copy is
  // taken as readable.
  DWORD OpenFailure(const std::string&, DWORD, DWORD) override { return 0; }
  // The installed launcher files are those of NewExe\ after a complete run of this package;
  // otherwise they are the user's, taken as others.
  bool SameBytes(const std::string&, const std::string&) override {
    return when_ == ContentOutcome::kCompletedBefore;
  }
  // A content folder whose walk does not end is one of the findings: the run's would not end
  // either.
  void WalkContent(const std::string& folder, const std::string&, const EntryVisitor& entry,
                   const UnlistedVisitor& unlisted) override {
    std::optional<std::string> here = InPackage(folder);
    if (here && facts_.content_walk_ends) {
      ::WalkFolder(*here, entry, unlisted);
    }
  }
  bool PackageDirKnown() override { return package_dir_known_; }

  LauncherReplacement ReplaceLauncherFiles(const std::string& package_dir,
                                           const std::string&) override {
    LauncherReplacement replacement;
    replacement.ran = DirectoryExists(package_dir + "NewExe\\");
    if (replacement.ran) {
      stage_begun = launchers_replaced = true;
      if (folders_.insert(AsCompared("OldExe")).second) {
        made_folders_.insert(AsCompared("OldExe"));
      }
    }
    return replacement;
  }
  void CopyContent(const std::string&, const std::string&) override {
    stage_begun = true;
    if (when_ == ContentOutcome::kInstallDirMissing) {
      // The staging folder cannot be made in a product's folder that is not there.
      throw EInOutError(ERROR_PATH_NOT_FOUND, nullptr);
    }
    content_copied = true;
  }
  DWORD PutContentInPlace(const std::string&, const std::string& content) override {
    folders_.insert(InProduct(content).value_or(""));
    return 0;
  }
  void RemoveStaging(const std::string&) override {}
  DWORD CopyPackageFile(const std::string& source, const std::string&) override {
    package_file_copied = package_file_copied || FileExists(source);
    return 0;
  }

  void ShowBox(const std::string& text) override { box = text.substr(0, text.find('\0')); }
  void StartProgram(const std::string& path) override { started = path; }

 private:
  // The key a path names: the registry skips empty steps, as in "a\\b" or a final '\', so an
  // empty product key names "Software" itself.
  static std::string WithoutEmptySteps(const std::string& path) {
    std::string key;
    for (size_t start = 0, end = 0; start <= path.size(); start = end + 1) {
      end = std::min(path.find('\\', start), path.size());
      if (end > start) {
        key += (key.empty() ? "" : "\\") + path.substr(start, end - start);
      }
    }
    return key;
  }
  // A folder's name as Windows compares names: without the dots and blanks it drops at the
  // end, whatever its case.
  static std::string AsCompared(std::string name) {
    name.erase(name.find_last_not_of(". ") + 1);
    return regfile::FoldCase(name);
  }
  // The path here of a path in the user's package folder, or none for any other path.
  std::optional<std::string> InPackage(const std::string& path) const {
    if (path.compare(0, package_dir_.size(), package_dir_) != 0) {
      return std::nullopt;
    }
    return facts_.folder + path.substr(package_dir_.size());
  }
  // The name of a folder right in the product's folder, as Windows compares names, or none.
  std::optional<std::string> InProduct(const std::string& path) const {
    if (path.compare(0, install_dir_.size(), install_dir_) != 0) {
      return std::nullopt;
    }
    std::string name = path.substr(install_dir_.size());
    if (!name.empty() && name.back() == '\\') {
      name.pop_back();
    }
    return AsCompared(name);
  }

  const PackageFacts& facts_;
  const UserRecord& record_;
  std::string package_dir_;
  bool package_dir_known_;
  std::string install_dir_;
  ContentOutcome::When when_;
  std::optional<regfile::Key> left_;
  std::optional<regfile::Key> values_;  // the record found, with the run's writes
  std::set<std::string> folders_;       // in the product's folder, as Windows compares names
  std::set<std::string> made_folders_;  // those the run made
};
