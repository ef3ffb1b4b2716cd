// The one door to the Win32 API, and the one place that knows which build this is. The
// Windows build gets the real thing; every other build gets the emulation (src/win32emu),
// with the same names, types and values.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "win32emu/emulated_win32.h"
#endif
