// Windows share modes between every process on the emulated machine, kept as shared
// open-file-description locks on fixed bytes far beyond any real file's end. One byte each
// says "some handle has read / write / delete access" and "some handle denies read / write /
// delete". An open that shares nothing holds one write lock over them all in their place. The
// locks belong to the descriptor, so they go with its close or its process.
#pragma once

#include <string>

#include "win32emu/emulated_win32.h"

namespace emu {

// What a handle asks for, in the terms that share modes judge.
struct ShareClaim {
  bool read = false;
  bool write = false;
  bool remove = false;  // DELETE access
  DWORD share = 0;      // FILE_SHARE_* bits
  // The descriptor is open for reading and writing: sharing nothing, it then holds one write
  // lock over every mark.
  bool read_write = false;
};

// Marks `fd` with `claim`, then checks it against every other open description of the file.
// Returns 0 when the claim is compatible, ERROR_SHARING_VIOLATION otherwise (the marks are
// then dropped). Two racing opens that conflict may both be refused, never both allowed.
// An open for none of read, write and delete access is neither judged nor counted; a
// descriptor that cannot hold read locks (opened write-only, or on a file system without
// such locks) is not checked. `marked`, when given, tells whether `fd` now holds its marks,
// that is whether other opens are judged against this one.
DWORD ClaimShare(int fd, const ShareClaim& claim, bool* marked = nullptr);

// A question about the file open as `fd` that claims nothing: whether another open description
// of it is a handle that counts at all (one with read, write or delete access).
bool OthersHoldIt(int fd);

// True when some file in the host folder `folder`, at any depth, is held by a handle that does
// not share deletion: such a handle keeps Windows from renaming the folder. Links are not
// followed.
bool FileInsideDeniesDeletion(const std::string& folder);

}  // namespace emu
