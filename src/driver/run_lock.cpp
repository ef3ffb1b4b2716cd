#include "driver/run_lock.h"

#include "platform/platform.h"
#include "support/failure.h"

namespace {

// One name for every updater of this kind, in the namespace that all sessions share.
const char kRunLockName[] = "Global\\BraskQuestsUpdater";

// Well beyond any real run: the bench's largest package, 50,000 files of 865 MiB, is copied
// in 3 s on the emulated machine and in 27 s under Wine, and a slow disk with a virus scanner
// takes some times that. A run whose message box waits for the user holds the lock as long
// as the box is open; a second run started meanwhile waits for it that long.
constexpr DWORD kLongestWait = 10 * 60 * 1000;

// Ends the run with `code` and its text, naming the place in HoldRunLock that called this.
[[noreturn, gnu::noinline]] void RefuseRun(std::int32_t code) {
  throw EInOutError(code,
                    code == kIoOtherRunStillRunning
                        ? "Another update is still running"
                        : "Cannot tell whether another update is running",
                    __builtin_return_address(0));
}

}  // namespace

void HoldRunLock() {
  // Not inherited: the product's setup program, started at the end, must not hold it.
  HANDLE lock = CreateMutexA(nullptr, FALSE, kRunLockName);
  if (lock == nullptr) {
    RefuseRun(kIoRunLockUnavailable);
  }
  // The handle stays open until the process ends, which gives the lock up however the run
  // ends; a run waiting for it then finds it abandoned, which counts as taken.
  switch (WaitForSingleObject(lock, kLongestWait)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      return;
    case WAIT_TIMEOUT:
      RefuseRun(kIoOtherRunStillRunning);
    default:
      RefuseRun(kIoRunLockUnavailable);
  }
}
