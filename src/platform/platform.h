// The one door to the Win32 API. The Windows build gets the real thing; every other build
// gets the emulated subset, with the same names, types and values.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/emulated_win32.h"
#endif
