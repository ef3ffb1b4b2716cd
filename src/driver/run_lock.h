// One run at a time on the machine: every updater of this kind shares the temporary command
// list, and the products share the Windows folder.
#pragma once

#include <cstdint>

// The run lock's failures: Windows' codes for what happened, each with a text of its own.
constexpr std::int32_t kIoOtherRunStillRunning = 258;  // WAIT_TIMEOUT: the wait ran out
constexpr std::int32_t kIoRunLockUnavailable = 110;    // ERROR_OPEN_FAILED: no lock to wait for

// Waits until no other updater runs, then holds the machine-wide run lock until the process
// ends. A lock left by a run that died counts as taken over. Raises EInOutError, before the
// run has changed anything, when the wait runs out or the lock cannot be had at all.
void HoldRunLock();
