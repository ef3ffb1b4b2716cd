#include "driver/platform_machine.h"

#include "driver/start_program.h"
#include "support/folders.h"
#include "support/line_file.h"
#include "support/message_box.h"
#include "transfer/folder_copy.h"

namespace {

// The last error, or access denied where a failed call left none.
DWORD LastErrorOr5() {
  DWORD code = GetLastError();
  return code != 0 ? code : ERROR_ACCESS_DENIED;
}

}  // namespace

PlatformMachine::PlatformMachine() {
  record_.SetRoot(HKEY_LOCAL_MACHINE);
}

VersionScan PlatformMachine::FindSupportedVersion(const std::string& package_dir,
                                                  const std::string& installed_version) {
  return ::FindSupportedVersion(package_dir, installed_version);
}

std::string PlatformMachine::GetLastSupportedVersion(const std::string& package_dir) {
  return ::GetLastSupportedVersion(package_dir);
}

bool PlatformMachine::RecordExists(const std::string& path) {
  return record_.RecordExists(path);
}

bool PlatformMachine::RecordHasValue(const std::string& path, const char* name) {
  record_.OpenRecord(path);
  const bool present = record_.HasValue(name);
  record_.CloseRecord();
  return present;
}

std::string PlatformMachine::ReadRecordText(const std::string& path, const char* name) {
  record_.OpenRecord(path);
  std::string text = record_.ReadTextValue(name);
  record_.CloseRecord();
  return text;
}

std::optional<std::string> PlatformMachine::ReadRecordTextIfPresent(const std::string& path,
                                                                    const char* name) {
  record_.OpenRecord(path);
  std::optional<std::string> text;
  if (record_.HasValue(name)) {
    text = record_.ReadTextValue(name);
  }
  record_.CloseRecord();
  return text;
}

void PlatformMachine::WriteRecord(const std::string& path, const std::vector<RecordWrite>& values) {
  record_.OpenRecord(path);
  for (const RecordWrite& value : values) {
    if (value.type == REG_DWORD) {
      record_.WriteFlagValue(value.name, value.number != 0);
    } else {
      record_.WriteTextValue(value.name, value.text);
    }
  }
  record_.CloseRecord();
}

std::string PlatformMachine::TempDir() {
  return GetTempDir();
}

bool PlatformMachine::DirectoryExists(const std::string& path) {
  return ::DirectoryExists(path);
}

bool PlatformMachine::FileExists(const std::string& path) {
  return ::FileExists(path);
}

DWORD PlatformMachine::FileAttributes(const std::string& path) {
  return GetFileAttributesA(path.c_str());
}

// A handle that did not close would hold the file against the run itself.
DWORD PlatformMachine::OpenFailure(const std::string& path, DWORD access, DWORD share) {
  HANDLE file = CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return LastErrorOr5();
  }
  return CloseHandle(file) ? 0 : LastErrorOr5();
}

void PlatformMachine::WalkFolder(const std::string& folder, const EntryVisitor& entry,
                                 const UnlistedVisitor& unlisted) {
  ::WalkFolder(folder, entry, unlisted);
}

LauncherReplacement PlatformMachine::ReplaceLauncherFiles(const std::string& package_dir,
                                                          const std::string& install_dir) {
  return ::ReplaceLauncherFiles(package_dir, install_dir);
}

void PlatformMachine::CopyContent(const std::string& source, const std::string& destination) {
  MakeDirectory(destination);  // a failure stays pending until the copy's first check
  CopyFolder(source, destination);
}

void PlatformMachine::CopyPackageFile(const std::string& source, const std::string& target) {
  CopyFileA(source.c_str(), target.c_str(), FALSE);
}

void PlatformMachine::ShowBox(const std::string& text) {
  ShowMessageBox(text);
}

void PlatformMachine::StartProgram(const std::string& path) {
  ::StartProgram(path);
}
