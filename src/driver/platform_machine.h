// The machine the update runs on: the platform's calls behind what the update's steps ask.
#pragma once

#include "driver/registry_record.h"
#include "driver/update_machine.h"

class PlatformMachine : public UpdateMachine {
 public:
  PlatformMachine();

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
  bool PackageDirKnown() override { return true; }

  LauncherReplacement ReplaceLauncherFiles(const std::string& package_dir,
                                           const std::string& install_dir) override;
  void CopyContent(const std::string& source, const std::string& destination) override;
  void CopyPackageFile(const std::string& source, const std::string& target) override;

  void ShowBox(const std::string& text) override;
  void StartProgram(const std::string& path) override;

 private:
  // The run's one accessor of the product's record, kept until the process ends.
  RegistryRecord record_;
};
