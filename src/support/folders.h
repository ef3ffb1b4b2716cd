// The folders the run works in, and the existence tests. Each is a thin wrapper around one
// platform call and reports no failure: a failed query gives the empty text or false.
#pragma once

#include <string>

// The running updater's folder with its trailing '\': the module path without its last 9
// characters, the length of "setup.exe". A module path of 9 characters or fewer gives "".
std::string GetPackageDir();

// The Windows directory exactly as the platform reports it.
std::string GetWindowsDir();

// The temporary directory exactly as the platform reports it (it ends in '\').
std::string GetTempDir();

// True when the path names an existing file (anything that is not a folder).
bool FileExists(const std::string& path);

// True when the path names an existing folder; a trailing '\' is accepted.
bool DirectoryExists(const std::string& path);
