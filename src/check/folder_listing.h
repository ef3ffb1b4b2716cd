// The entries of a package's folders, through the same platform calls as the run's walk.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

struct FolderEntry {
  std::string name;
  // What GetFileAttributesA answers for the name as listed, as the run's walk asks it:
  // INVALID_FILE_ATTRIBUTES when the name names nothing (a character the code page cannot
  // hold comes listed as '?').
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  bool is_folder = false;  // decided as the run decides it, by the attributes of the path
};

struct FolderListing {
  std::vector<FolderEntry> entries;  // without "." and "..", in the order listed
  // The Windows error code with which the listing failed or ended early; 0 when whole, or
  // when the folder is missing.
  DWORD error = 0;
};

// The entries of `folder` (ending in '\').
FolderListing ListFolder(const std::string& folder);

// 0 when the file at `path` opens for reading, else the Windows error code.
DWORD OpenForReadingError(const std::string& path);
