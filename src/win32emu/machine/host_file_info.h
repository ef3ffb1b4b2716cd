// How a host file's metadata reads as Windows file information: times and attributes, shared
// by the folder listing, the copy and the deletion.
#pragma once

#include <sys/stat.h>
#include <string_view>

#include "win32emu/emulated_win32.h"

namespace emu {

// A host time stamp as a FILETIME: 100 ns units since 1601-01-01 UTC.
FILETIME FileTimeFromHost(const struct timespec& time);

// True when the file that `info` describes (found as `name` under the folder `folder_fd`, or
// an absolute or working-directory path with AT_FDCWD) may not be written by this process.
// A file without any write bit is read-only even for the superuser, as Windows' read-only
// attribute binds administrators too.
bool HostFileIsReadOnly(const struct stat& info, int folder_fd, const char* name);

// The attributes Windows would show for an entry called `name` (the last path component).
DWORD AttributesFromHost(const struct stat& info, std::string_view name, bool read_only);

}  // namespace emu
