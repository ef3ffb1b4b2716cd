// The walk of a folder tree as the content copy makes it: the folder's listing in the order the
// file system gives it, depth first, each folder's entries right after the folder itself. The
// copy writes its command list from it, and the update's look-ahead checks the same entries
// before the run changes anything.
#pragma once

#include <functional>
#include <string>

#include "platform/platform.h"

// One entry of the walk, other than "." and "..".
struct WalkedEntry {
  // The path below the walked folder, the listed names joined by '\'; a folder's has no
  // final '\'.
  std::string relative;
  // What GetFileAttributesA answers for the walked folder + `relative`, the name as listed;
  // INVALID_FILE_ATTRIBUTES when it answers nothing.
  DWORD attributes = INVALID_FILE_ATTRIBUTES;

  // The kind is what the file system says now, not what the listing said: an entry whose
  // attributes cannot be read counts as a file.
  bool IsFolder() const {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
};

// Walks everything inside `folder` (ending in '\'). `entry` is called for each entry; a
// folder's own entries follow it at once. `unlisted` (may be empty) is called for a folder
// whose listing failed or ended early with another code than "no more files": its relative
// path ("" for `folder` itself), with the code; the walk goes on with what it has.
void WalkFolder(const std::string& folder, const std::function<void(const WalkedEntry&)>& entry,
                const std::function<void(const std::string&, DWORD)>& unlisted);
