// Every emulated call that asks the fault hook, in one table: the name by which the hook, the
// traces and the fault sweep know it, and the Win32 codes with which it fails in practice,
// which the sweep injects. A call that never fails in practice has none and is not swept.
#pragma once

#include <span>

#include "win32emu/emulated_win32.h"

namespace emu {

enum class FaultPoint {
  kCreateFileA,
  kReadFile,
  kWriteFile,
  kSetFilePointer,
  kCloseHandle,
  kCreateDirectoryA,
  kGetFileAttributesA,
  kSetFileAttributesA,
  kCopyFileA,
  kDeleteFileA,
  kMoveFileExA,
  kMoveFileA,
  kRemoveDirectoryA,
  kFindFirstFileA,
  kFindNextFileA,
  kFindFirstFileW,
  kFindNextFileW,
  kGetModuleFileNameA,
  kGetWindowsDirectoryA,
  kGetTempPathA,
  kVirtualQuery,
  kCreateProcessA,
  kSleep,
  kCreateMutexA,
  kWaitForSingleObject,
  kReleaseMutex,
  kRegOpenKeyExA,
  kRegQueryValueExA,
  kRegSetValueExA,
  kRegDeleteValueA,
  kRegCloseKey,
  kMessageBoxA,
};

struct FaultPointEntry {
  FaultPoint point;
  const char* call;
  std::span<const DWORD> codes;  // met in practice; empty: never swept
  // The call writes data, so that a kill can come halfway through it (after part of the data).
  bool writes_data = false;
};

// The whole table, in the order of FaultPoint.
std::span<const FaultPointEntry> FaultPoints();

// The call's name, as the hook is asked with it.
const char* FaultPointName(FaultPoint point);

// The row of the call named `call`, or nullptr for a name that is no fault point.
const FaultPointEntry* FindFaultPoint(const char* call);

// Asks the fault hook, if one is installed, whether this call on `subject` (a path, a value
// name, ...) should fail. Returns 0 to let the call run, else the code to fail with.
DWORD InjectedFault(FaultPoint point, const char* subject);

// How many calls of this process have asked the fault hook so far, a hook installed or not:
// of two calls that one thread makes back to back, while no other thread has made any, the
// later has the number one above the earlier's. Every call that changes the machine asks
// before it changes anything; a few that change nothing (FindClose, GetLastError) do not ask.
unsigned long long CallsAsked();

// How many threads of this process have made a call that asks the fault hook.
unsigned ThreadsCalling();

// True while a hook installed by emu::SetFaultHook is in place: a test's hook may change the
// machine itself, as another program would, in the middle of a call.
bool TestHookInstalled();

}  // namespace emu
