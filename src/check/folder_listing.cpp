#include "check/folder_listing.h"

#include "platform/platform.h"
#include "support/folders.h"

std::vector<FolderEntry> ListFolder(const std::string& folder) {
  std::vector<FolderEntry> entries;
  WIN32_FIND_DATAA found = {};
  HANDLE listing = FindFirstFileA((folder + "*.*").c_str(), &found);
  if (listing == INVALID_HANDLE_VALUE) {
    return entries;
  }
  do {
    std::string name = found.cFileName;
    if (name != "." && name != "..") {
      bool is_folder = DirectoryExists(folder + name);
      entries.push_back(FolderEntry{std::move(name), is_folder});
    }
  } while (FindNextFileA(listing, &found));
  FindClose(listing);
  return entries;
}
