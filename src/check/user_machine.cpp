#include "check/user_machine.h"

#include <utility>

#include "driver/registry_record.h"
#include "support/failure.h"
#include "support/folders.h"

namespace {

// The 32-bit updater on a 64-bit Windows sees "Software" as "Software\Wow6432Node".
const char kSoftware[] = "Software\\";
const char* const kSoftwareViews[] = {"Software\\Wow6432Node\\", "Software\\"};

// The key a path names: the registry skips empty steps, as in "a\\b" or a final '\', so an
// empty product key names "Software" itself.
std::string WithoutEmptySteps(const std::string& path) {
  std::string key;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) {
      end = path.size();
    }
    if (end > start) {
      key += (key.empty() ? "" : "\\") + path.substr(start, end - start);
    }
    start = end + 1;
  }
  return key;
}

// A folder's name as Windows compares names: without the dots and blanks it drops at the end,
// whatever its case.
std::string AsCompared(std::string name) {
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) {
    name.pop_back();
  }
  return regfile::FoldCase(name);
}

bool StartsWith(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

// The text a box shows: up to the first NUL.
std::string AsShown(const std::string& text) {
  return text.substr(0, text.find('\0'));
}

}  // namespace

UserMachine::UserMachine(const PackageFacts& facts, const UserRecord& record,
                         std::string package_dir, bool package_dir_known, std::string install_dir,
                         ProductFolderCase product_case)
    : facts_(facts),
      record_(record),
      package_dir_(std::move(package_dir)),
      package_dir_known_(package_dir_known),
      install_dir_(std::move(install_dir)),
      case_(product_case) {
  if (case_ == ProductFolderCase::kContentPresent) {
    folders_.insert(AsCompared(facts.content_folder));
  }
}

std::optional<std::string> UserMachine::InPackage(const std::string& path) const {
  if (!StartsWith(path, package_dir_)) {
    return std::nullopt;
  }
  return facts_.folder + path.substr(package_dir_.size());
}

std::optional<std::string> UserMachine::InProduct(const std::string& path) const {
  if (!StartsWith(path, install_dir_)) {
    return std::nullopt;
  }
  std::string name = path.substr(install_dir_.size());
  if (!name.empty() && name.back() == '\\') {
    name.pop_back();
  }
  return AsCompared(name);
}

VersionScan UserMachine::FindSupportedVersion(const std::string& package_dir,
                                              const std::string& installed_version) {
  return ::FindSupportedVersion(InPackage(package_dir).value_or(package_dir), installed_version);
}

std::string UserMachine::GetLastSupportedVersion(const std::string& package_dir) {
  return ::GetLastSupportedVersion(InPackage(package_dir).value_or(package_dir));
}

bool UserMachine::RecordExists(const std::string& path) {
  const std::string key = !path.empty() && path.front() == '\\' ? path.substr(1) : path;
  const std::string below = StartsWith(key, kSoftware) ? key.substr(sizeof kSoftware - 1) : key;
  for (const char* view : kSoftwareViews) {
    key_path = view + below;
    if (const regfile::Key* found = record_.hive.Find(WithoutEmptySteps(key_path))) {
      values_ = *found;
      key_found = true;
      return true;
    }
  }
  return false;
}

bool UserMachine::RecordHasValue(const std::string&, const char* name) {
  return values_ && values_->FindValue(name) != nullptr;
}

std::string UserMachine::ReadRecordText(const std::string& path, const char* name) {
  return ReadRecordTextIfPresent(path, name).value_or("");
}

std::optional<std::string> UserMachine::ReadRecordTextIfPresent(const std::string&,
                                                                const char* name) {
  const regfile::Value* value = values_ ? values_->FindValue(name) : nullptr;
  if (value == nullptr) {
    return std::nullopt;
  }
  if (record_.Unmapped(values_->path, name)) {
    throw CannotTellValue{name};
  }
  // Empty data reads as "" whatever its type: the run asks for no more once its size is 0.
  std::string text =
      value->data.empty() ? std::string() : TextOfValue(name, value->type, value->data);
  texts_read[name] = text;
  return text;
}

void UserMachine::WriteRecord(const std::string&, const std::vector<RecordWrite>& values) {
  for (const RecordWrite& value : values) {
    if (value.type == REG_DWORD) {
      const char data[4] = {static_cast<char>(value.number & 0xFF), 0, 0, 0};
      values_->SetValue(value.name, REG_DWORD, std::string(data, sizeof data));
    } else {
      values_->SetValue(value.name, REG_SZ, value.text + '\0');
    }
    writes.push_back(value);
  }
}

// The temporary folder is the user's machine's own: taken as usable.
std::string UserMachine::TempDir() {
  return "C:\\TEMP\\";
}

bool UserMachine::DirectoryExists(const std::string& path) {
  if (std::optional<std::string> here = InPackage(path)) {
    return ::DirectoryExists(*here);
  }
  if (std::optional<std::string> name = InProduct(path)) {
    if (case_ == ProductFolderCase::kMissing) {
      return false;
    }
    if (name->empty()) {
      return true;
    }
    found_own_folder = made_folders_.count(*name) != 0;
    return folders_.count(*name) != 0;
  }
  return path == TempDir();
}

bool UserMachine::FileExists(const std::string& path) {
  std::optional<std::string> here = InPackage(path);
  return here && ::FileExists(*here);
}

// The product's files are the user's: none is known to stand in the way.
DWORD UserMachine::FileAttributes(const std::string& path) {
  std::optional<std::string> here = InPackage(path);
  return here ? GetFileAttributesA(here->c_str()) : INVALID_FILE_ATTRIBUTES;
}

// A file of the package that does not open here is one of the findings; the user's copy of it
// is taken as readable.
DWORD UserMachine::OpenFailure(const std::string&, DWORD, DWORD) {
  return 0;
}

void UserMachine::WalkFolder(const std::string& folder, const EntryVisitor& entry,
                             const UnlistedVisitor& unlisted) {
  // A content folder whose walk does not end is one of the findings: the run's would not end
  // either.
  std::optional<std::string> here = InPackage(folder);
  if (here && facts_.content_walk_ends) {
    ::WalkFolder(*here, entry, unlisted);
  }
}

LauncherReplacement UserMachine::ReplaceLauncherFiles(const std::string& package_dir,
                                                      const std::string&) {
  LauncherReplacement replacement;
  replacement.ran = DirectoryExists(package_dir + "NewExe\\");
  if (replacement.ran) {
    stage_begun = true;
    launchers_replaced = true;
    if (folders_.insert(AsCompared("OldExe")).second) {
      made_folders_.insert(AsCompared("OldExe"));
    }
  }
  return replacement;
}

void UserMachine::CopyContent(const std::string&, const std::string& destination) {
  stage_begun = true;
  if (case_ == ProductFolderCase::kMissing) {
    // The content folder cannot be made: the copy's first check tells.
    throw EInOutError(ERROR_PATH_NOT_FOUND, nullptr);
  }
  content_copied = true;
  if (!facts_.content_case_clash.empty()) {
    // The copy ends at the second folder of one name, the content folder half copied.
    throw EInOutError(ERROR_ALREADY_EXISTS, nullptr);
  }
  if (std::optional<std::string> name = InProduct(destination)) {
    folders_.insert(*name);
  }
}

void UserMachine::CopyPackageFile(const std::string& source, const std::string&) {
  package_file_copied = package_file_copied || FileExists(source);
}

void UserMachine::ShowBox(const std::string& text) {
  box = AsShown(text);
}

void UserMachine::StartProgram(const std::string& path) {
  started = path;
}
