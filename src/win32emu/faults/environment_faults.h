// The faults a whole process's environment asks for, read at its first emulated call:
//
//   WIN32EMU_FAULT=<n>:<code>  the n-th call that asks the fault hook (counting from 1, every
//                              call of the process) fails with the Win32 code <code>;
//   WIN32EMU_TRACE=<file>      each call that asks the hook is appended to <file> as one line,
//                              "<n>" TAB call TAB subject (log-escaped), and for the call
//                              that is failed, TAB and the code.
//
// Until the first emulated call the fault hook is FirstCallFaultHook. It reads the two
// variables once and replaces itself: by their own hook when either is set, by no hook at
// all when neither is, so that later calls pay one load and test. The variables are then
// removed from the environment: they are this process's own, not those of the programs it
// starts. A hook that a test installs with emu::SetFaultHook replaces them.
#pragma once

#include "win32emu/fault_hook.h"

namespace emu {

DWORD FirstCallFaultHook(void* context, const char* call, const char* subject);

// Installs `hook` in place of FirstCallFaultHook; false, and nothing changed, when another
// hook was installed meanwhile.
bool ReplaceFirstCallFaultHook(FaultHook hook);

}  // namespace emu
