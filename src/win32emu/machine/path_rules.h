// Windows' rules for the text of a path given to an ANSI file function, before any file is
// looked at: its length, the characters and device names it may not hold, and the dots and
// blanks its normalization drops.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "win32emu/emulated_win32.h"

namespace emu {

// What a call allows in the last name of its path.
enum class LastName { kPlain, kWildcards };

// 0 when Windows takes `path` (ANSI, as passed) in a call whose longest path is `longest`
// characters; else the code it refuses it with: ERROR_FILENAME_EXCED_RANGE for a longer path,
// ERROR_INVALID_NAME for a forbidden character in a name, ERROR_FILE_NOT_FOUND when the last
// name is a device's (the machine has no devices, and no file can have that name),
// ERROR_PATH_NOT_FOUND when a folder on the way is.
DWORD CheckAnsiPath(std::string_view path, std::size_t longest, LastName last = LastName::kPlain);

// `path` with the dots and blanks that Windows' path normalization removes taken away: a name
// ending in a single '.' loses it, and the last name of a path that does not end in a separator
// loses all its trailing dots and blanks. "." and ".." stay, for the folding of steps.
std::string TrimDotsAndBlanks(std::string_view path);
// True where TrimDotsAndBlanks gives `path` as it is.
bool TrimsNothing(std::string_view path);

}  // namespace emu
