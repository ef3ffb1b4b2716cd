// The machine the update runs on: the platform's calls behind what the update's steps ask.
#pragma once

#include <memory>

#include "driver/registry_record.h"
#include "driver/update_machine.h"
#include "support/folders.h"
#include "support/message_box.h"
#include "transfer/file_steps.h"
#include "transfer/folder_copy.h"

class PlatformMachine : public UpdateMachine {
 public:
  PlatformMachine() { record_.SetRoot(HKEY_LOCAL_MACHINE); }

  bool RecordExists(const std::string& path) override { return record_.RecordExists(path); }
  bool RecordHasValue(const std::string& path, const char* name) override;
  std::string ReadRecordText(const std::string& path, const char* name) override;
  std::optional<std::string> ReadRecordTextIfPresent(const std::string& path,
                                                     const char* name) override;
  void WriteRecord(const std::string& path, const std::vector<RecordWrite>& values) override;
  void DeleteRecordValue(const std::string& path, const char* name) override;

  std::string TempDir() override { return GetTempDir(); }
  bool DirectoryExists(const std::string& path) override { return ::DirectoryExists(path); }
  bool FileExists(const std::string& path) override { return ::FileExists(path); }
  DWORD FileAttributes(const std::string& path) override {
    return GetFileAttributesA(path.c_str());
  }
  DWORD OpenFailure(const std::string& path, DWORD access, DWORD share) override;
  bool SameBytes(const std::string& a, const std::string& b) override { return ::SameBytes(a, b); }
  void WalkContent(const std::string& source, const std::string& staging, const EntryVisitor& entry,
                   const UnlistedVisitor& unlisted) override;
  bool PackageDirKnown() override { return true; }

  LauncherReplacement ReplaceLauncherFiles(const std::string& package_dir,
                                           const std::string& install_dir) override {
    return ::ReplaceLauncherFiles(package_dir, install_dir);
  }
  void CopyContent(const std::string& source, const std::string& staging) override;
  DWORD PutContentInPlace(const std::string& staging, const std::string& content) override;
  void RemoveStaging(const std::string& staging) override { RemoveTree(staging); }
  DWORD CopyPackageFile(const std::string& source, const std::string& target) override {
    return CopyFileRetried(source, target, false) ? 0 : GetLastError();
  }

  void ShowBox(const std::string& text) override { ShowMessageBox(text); }
  // Starts the program at `path` with the bare path as its command line, shown normally, and
  // does not wait for it. Nothing is reported if it does not start. The path is named as the
  // program itself, so a path with blanks can never start another program.
  void StartProgram(const std::string& path) override;

 private:
  // The run's one accessor of the product's record, kept until the process ends.
  RegistryRecord record_;
  // The content copy's list, from the look-ahead's walk until the copy.
  std::unique_ptr<PendingCopyList> copy_list_;
};
