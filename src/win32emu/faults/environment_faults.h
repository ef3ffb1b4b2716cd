// The faults a whole process's environment asks for, read at its first emulated call:
//
//   WIN32EMU_FAULT=<n>:<code>  the n-th call that asks the fault hook (counting from 1, every
//                              call of the process) fails with the Win32 code <code>; up to 8
//                              such faults, their call numbers rising, separated by ",";
//   WIN32EMU_KILL=<n>          the process ends at the n-th call that asks the hook, before
//                              the call does anything, as a kill ends it (SIGKILL: no handle
//                              is closed, nothing is flushed, no clean-up of any kind runs);
//   WIN32EMU_KILL=<n>:half     the same, but a call that writes data (CopyFileA, WriteFile:
//                              the rows of faults/fault_points marked so) ends the process
//                              halfway through: after the first half of its bytes, rounded
//                              down, is written where the call writes them, and before
//                              anything else. A call that writes no data ends it as <n> does;
//   WIN32EMU_TRACE=<file>      each call that asks the hook is appended to <file> as one line,
//                              "<n>" TAB call TAB subject (log-escaped), and for the call
//                              that is failed, TAB and the code, for the call at which the
//                              process is killed, TAB "killed" or "killed halfway".
//
// A kill and a fault may be asked for together; at the same call the kill comes first.
//
// Until the first emulated call the fault hook is FirstCallFaultHook. It reads the variables
// once and replaces itself: by their own hook when any is set, by no hook at all when none
// is, so that later calls pay one load and test. The variables are then removed from the
// environment: they are this process's own, not those of the programs it starts. A hook that
// a test installs with emu::SetFaultHook replaces them.
#pragma once

#include "win32emu/fault_hook.h"

namespace emu {

DWORD FirstCallFaultHook(void* context, const char* call, const char* subject);

// Installs `hook` in place of FirstCallFaultHook; false, and nothing changed, when another
// hook was installed meanwhile.
bool ReplaceFirstCallFaultHook(FaultHook hook);

// Ends the process at once, as a kill does.
[[noreturn]] void EndAsKilled();

// A kill asked for halfway through the call being made. A call that writes data takes it
// right after its fault point, writes the first half of its bytes, and calls Now(); should it
// return before that, on any way out, the kill comes as it returns.
class HalfwayKill {
 public:
  HalfwayKill();
  HalfwayKill(const HalfwayKill&) = delete;
  HalfwayKill& operator=(const HalfwayKill&) = delete;
  ~HalfwayKill();

  // True when this call is to end the process halfway.
  bool Due() const { return due_; }
  // How many of `size` bytes the call writes before the kill: the first half, rounded down.
  static unsigned long long Half(unsigned long long size) { return size / 2; }
  [[noreturn]] void Now();

 private:
  bool due_;
};

}  // namespace emu
