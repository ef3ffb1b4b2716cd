#include "check/folder_listing.h"

FolderListing ListFolder(const std::string& folder) {
  FolderListing listing;
  WIN32_FIND_DATAA found = {};
  HANDLE search = FindFirstFileA((folder + "*.*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND &&
        code != ERROR_NO_MORE_FILES) {
      listing.error = code;
    }
    return listing;
  }
  for (;;) {
    std::string name = found.cFileName;
    if (name != "." && name != "..") {
      FolderEntry entry;
      entry.attributes = GetFileAttributesA((folder + name).c_str());
      entry.is_folder = entry.attributes != INVALID_FILE_ATTRIBUTES &&
                        (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      entry.name = std::move(name);
      listing.entries.push_back(std::move(entry));
    }
    if (!FindNextFileA(search, &found)) {
      DWORD code = GetLastError();
      if (code != ERROR_NO_MORE_FILES) {
        listing.error = code;
      }
      break;
    }
  }
  FindClose(search);
  return listing;
}

DWORD OpenForReadingError(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  CloseHandle(file);
  return 0;
}
