#include "driver/run_lock.h"

#include "platform/platform.h"
#include "support/failure.h"

namespace {

// One name for every updater of this kind, in the namespace that all sessions share.
const char kRunLockName[] = "Global\\BraskQuestsUpdater";

// Well beyond any real run: a complete run copies 865 MiB in 50,000 files in 2 s natively
// and 10,000 files in 6 s under Wine; a run whose refusal or error box waits for the user
// holds the lock as long as the box is open.
constexpr DWORD kLongestWait = 10 * 60 * 1000;

// Ends the run with `code`, naming the place in HoldRunLock that called this.
[[noreturn, gnu::noinline]] void RefuseRun(std::int32_t code) {
  throw EInOutError(code, __builtin_return_address(0));
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
