// What ends a run before its first change, because a stage could not be carried out whole,
// with the text the error box shows: each says what the user can do. The update run and the
// package check both decide through the path rules here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A run refused: Windows' code for what was found, and its text.
struct Refusal {
  std::int32_t code = 0;
  std::string text;
};

Refusal TempFolderUnusable(const std::string& temp_dir);
Refusal ContentFolderUnnamed();
Refusal ContentFolderMissing(const std::string& folder);
Refusal PackageFolderUnreadable(const std::string& folder, std::int32_t code);
Refusal NameNotShown(const std::string& path);
Refusal PackagePathTooLong(const std::string& path);
Refusal ProductPathTooLong(const std::string& path);
Refusal ProductFolderMissing(const std::string& install_dir);
Refusal NewFileUnreadable(const std::string& path, std::int32_t code);
Refusal ProductFileReadOnly(const std::string& path);
Refusal ProductFileInUse(const std::string& path);
Refusal ProductFileUnreplaceable(const std::string& path, std::int32_t code);
// After the look-ahead: a launcher file that could not be put in place after all, a file of the
// content that could not be copied, a content folder that could not take its name.
Refusal LauncherFileNotReplaced(const std::string& path);
Refusal ContentFileNotCopied(const std::string& path, std::int32_t code);
Refusal ContentFolderNotPutInPlace(const std::string& path, std::int32_t code);

// Ends the run with the error box of `refusal`, naming the place that called this.
[[noreturn]] void Refuse(const Refusal& refusal);

// The refusal for the paths of launcher file `name`: from PackageDir\NewExe\ to InstallDir,
// saved into InstallDir\OldExe\. Package paths are measured only when `package_dir_known`.
std::optional<Refusal> LauncherPathRefusal(const std::string& package_dir,
                                           const std::string& install_dir, const char* name,
                                           bool package_dir_known = true);

// The refusals for one entry of the content copy, a file or a folder, by the paths the copy
// gives Windows (a folder's without its final '\'): `destination` in the product's folder,
// `source` in the package.
std::optional<Refusal> CopyDestinationRefusal(const std::string& destination, bool folder);
std::optional<Refusal> CopySourceRefusal(const std::string& source, bool folder);
