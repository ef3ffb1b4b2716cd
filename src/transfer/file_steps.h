// The single file-system steps of the stages, each checked where it happens, and the names
// the stages write under before a file or folder takes its place.
#pragma once

#include <string>

#include "platform/platform.h"

// The name beside `path` under which its new version is written before it takes the name:
// the last name's first two characters become "~~" ("!!" where they are "~~" already), so that
// the temporary path is exactly as long as the path, and fits wherever the path does. `path`
// has no final '\'.
std::string TemporaryNameOf(const std::string& path);

// Creates the folder (a final '\' is accepted); true also when a folder is there already.
// Otherwise false, with Windows' code in GetLastError.
bool EnsureFolder(const std::string& folder);

// CopyFileA and MoveFileExA, tried again over about two seconds while another program (a virus
// scanner that has just opened a file) holds it. True when done; otherwise GetLastError tells.
bool CopyFileRetried(const std::string& source, const std::string& target, bool fail_if_exists);
bool MoveRetried(const std::string& from, const std::string& to, DWORD flags);

// CopyFileRetried over whatever has the target's name, for a target that is most often new:
// asked to fail where the target exists, Windows creates it at once, where otherwise it first
// looks whether the target is the source itself, a search of the target's folder for a new
// name. A target that exists is then copied over.
bool CopyFileOver(const std::string& source, const std::string& target);

// Clears the read-only attribute of the file at `path` where `attributes` (as listed, or
// INVALID_FILE_ATTRIBUTES to ask) hold it; true when it was cleared. A copy keeps the
// attribute of the file it copies, and Windows neither deletes nor copies over such a file.
bool ClearReadOnly(const std::string& path, DWORD attributes = INVALID_FILE_ATTRIBUTES);

// True when both files open and hold the same bytes.
bool SameBytes(const std::string& a, const std::string& b);

// Takes away the folder (ending in '\') and everything in it, as far as it can.
void RemoveTree(const std::string& folder);
