// Test-only control of the emulated machine: make chosen platform calls fail.
#pragma once

#include "win32emu/emulated_win32.h"

namespace emu {

// Asked before each emulated call with the call's name ("CreateFileA", "RegSetValueExA", ...;
// every one is a row of win32emu/faults/fault_points.h) and its subject (the Windows path, or the
// value or key name). Returns 0 to let the call run, or the Win32 error code the call is to fail
// with.
using FaultHook = DWORD (*)(void* context, const char* call, const char* subject);

// Installs `hook` (nullptr removes it), in place of the faults that the process's
// environment asks for, if it asks for any (win32emu/faults/environment_faults.h). With no hook
// installed a call pays one load and test.
void SetFaultHook(FaultHook hook, void* context);

}  // namespace emu
