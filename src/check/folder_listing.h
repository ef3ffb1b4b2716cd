// The entries of a package's folders, through the same platform calls as the run's walk.
#pragma once

#include <string>
#include <vector>

struct FolderEntry {
  std::string name;
  bool is_folder = false;  // decided as the run decides it, by the attributes of the path
};

// The entries of `folder` (ending in '\'), without "." and "..", in the order listed. Empty
// when the folder is missing or cannot be listed.
std::vector<FolderEntry> ListFolder(const std::string& folder);
