// Whether a file of the package opens for reading, as the run's copy opens it.
#pragma once

#include <string>

#include "platform/platform.h"

// 0 when the file at `path` opens for reading, else the Windows error code.
DWORD OpenForReadingError(const std::string& path);
