// Test-only control of the emulated machine: make chosen platform calls fail.
#pragma once

#include "platform/emulated_win32.h"

namespace emu {

// Asked before each emulated call with the call's name ("CreateFileA", "RegSetValueExA", ...)
// and its subject (the Windows path, or the value or key name). Returns 0 to let the call
// run, or the Win32 error code the call is to fail with.
using FaultHook = DWORD (*)(void* context, const char* call, const char* subject);

// Installs `hook` (nullptr removes it), in place of the process's fault plan if it has one
// (platform/fault_plan.h). With no hook installed a call pays one load and test.
void SetFaultHook(FaultHook hook, void* context);

}  // namespace emu
