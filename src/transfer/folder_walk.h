// The walk of a folder tree as the content copy makes it: the folder's listing in the order the
// file system gives it, depth first, each folder's entries right after the folder itself. The
// copy writes its command list from it, the update's look-ahead checks the same entries before
// the run changes anything, and the package check judges them.
#pragma once

#include <functional>
#include <string>

#include "platform/platform.h"

// One entry of the walk, other than "." and "..".
struct WalkedEntry {
  // The path below the walked folder, the listed names joined by '\'; a folder's has no
  // final '\'.
  std::string relative;
  // The entry's attributes, as the walk's EntryFacts say: asked anew or as listed;
  // INVALID_FILE_ATTRIBUTES when the name as listed answers nothing.
  DWORD attributes = INVALID_FILE_ATTRIBUTES;

  // An entry whose attributes cannot be read counts as a file.
  bool IsFolder() const {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
};

// Where an entry's attributes come from. kAsked: what the walked folder + `relative`, the name
// as listed, answers to GetFileAttributesA, which is nothing where the listing had to give a
// name in other characters than it has (Windows lists a best fit or '?' for a character the
// code page lacks). Such a walk lists in UTF-16 and makes each name ANSI as the ANSI listing
// does; only a name that Windows might read otherwise is asked after, and one that reads back
// as listed answers with the listing's attributes (so a file that another program is deleting
// as the walk passes, which Windows lists but no longer opens, answers as listed, and its copy
// fails). kListed: the listing's own, for a walk of names that were asked about before.
enum class EntryFacts { kAsked, kListed };

// What the walk does after an entry: goes into it when it is a folder, passes it by, or stops.
enum class WalkOn { kEnter, kPass, kStop };

using EntryVisitor = std::function<WalkOn(const WalkedEntry&)>;
// A folder whose listing failed or ended early with another code than "no more files": its
// relative path ("" for the walked folder itself), with the code.
using UnlistedVisitor = std::function<void(const std::string&, DWORD)>;

// Walks everything inside `folder` (ending in '\'), without recursion, so that no depth of tree
// exhausts the stack. `entry` is called for each entry; a folder's own entries follow it at
// once. `unlisted` (may be empty) is told of each folder that does not list in full; the walk
// goes on with what it has. A listing that gives its last entry again ends there, so that no
// listing walks for ever.
void WalkFolder(const std::string& folder, const EntryVisitor& entry,
                const UnlistedVisitor& unlisted, EntryFacts facts = EntryFacts::kAsked);
