// The emulated machine: where its drives live on the host, how Windows paths map onto host
// paths and back, and the thread's last error.
//
// Conventions: the machine's root is $WIN32EMU_ROOT, else $HOME/.win32emu, created on first
// use with drive_c/WINDOWS/ and drive_c/TEMP/. C: is <root>/drive_c, any other letter X is
// <root>/drive_x, Z: is the host's /. Drive letters match in either case; \ and / are both
// separators; a path without a drive letter is relative to the current directory.
#pragma once

#include <string>

#include "win32emu/emulated_win32.h"

namespace emu {

// The machine's root folder as a canonical host path, without a trailing '/'.
const std::string& MachineRoot();

// The host path that a Windows path names. Separators become '/', a trailing one is kept;
// names in the machine's code page become UTF-8, lose the dots and blanks Windows drops, and
// each is the existing entry it names regardless of letter case (names/folder_names).
std::string HostPath(const char* windows_path);

// As HostPath, but with the names as spelled, looking at no file: for a call that tries the
// path first and asks HostPath only when the host finds nothing there.
std::string HostPathAsSpelled(const char* windows_path);

// As HostPath, for the name of an entry that the caller is about to make: in a folder whose
// remembered names have changed only by this process's own new names since its last look, the
// memory answers with no look at the folder (see KnownEntry). Where the folder has meanwhile
// gone from its path the making fails with ERROR_PATH_NOT_FOUND, and the caller asks HostPath.
std::string HostPathOfNewName(const char* windows_path);

// True for the host errors after which HostPath may find what HostPathAsSpelled missed.
bool MissedAsSpelled(int err);

// `host_path` without the '/' at its end, as a folder is named to be asked about or moved; "/"
// stays itself.
std::string WithoutTrailingSlashes(std::string host_path);

// The Windows path of an absolute host path: under <root>/drive_x/ it is X:\..., anywhere
// else Z:\...
std::string WindowsPath(const std::string& host_path);

// The Win32 code that Windows gives where the host failed with errno `err` on `host_path`.
// ENOENT becomes 2 when the folder that should hold the path exists, else 3.
DWORD ErrorFromErrno(int err, const std::string& host_path);

// Sets the thread's last error and returns FALSE, for the common failure tail of a call.
BOOL Fail(DWORD code);

}  // namespace emu
