// The readers of the package's two description files, options.inf and set.inf.
//
// Both files are positional: a line means what its number says, taken whole and exactly as
// read. Each reader opens its file afresh, reads from the first line and closes it again.
#pragma once

#include <functional>
#include <string>

// Line 2 of options.inf in the updater's own folder: the product's key name. The file's
// first 14 lines are read; nothing after them.
std::string ReadProductKey();

// The same, of the options.inf in `folder` (ending in '\').
std::string ReadProductKey(const std::string& folder);

// Line 1 of set.inf: the name of the content folder, without a trailing '\'.
std::string ReadContentFolder(const std::string& package_dir);

// The outcome of a scan of set.inf's version list (line 3 up to the line "[end]").
struct VersionScan {
  bool found = false;
  // The last entry that the scan read; empty when the list is empty.
  std::string last_listed_version;
};

// Scans the version list for `installed_version`, stopping at the first equal entry or at
// "[end]". Found exactly when the last entry read equals the installed version.
VersionScan FindSupportedVersion(const std::string& package_dir,
                                 const std::string& installed_version);

// The last entry of the version list before "[end]", or "" for an empty list.
std::string GetLastSupportedVersion(const std::string& package_dir);

// Where a reading of the version list stopped.
struct VersionListEnd {
  enum Kind { kTerminator, kEndOfFile, kStopped } kind = kEndOfFile;
  // The number of the last line read: the "[end]" line, the entry that stopped the reading,
  // or the list's last line (2 when the file ends before line 3).
  int line = 2;
};

// Reads the version list as both scans do, handing each entry with its line number to
// `visit` until it returns false, the line "[end]" or the end of the file.
VersionListEnd ReadVersionList(
    const std::string& package_dir,
    const std::function<bool(int line, const std::string& entry)>& visit);
