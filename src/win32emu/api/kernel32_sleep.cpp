// Sleep: the thread really waits, as long as asked, since retries are timed by it.
#include <sched.h>
#include <time.h>
#include <unistd.h>
#include <cerrno>
#include <string>

#include "win32emu/faults/fault_points.h"

void WINAPI Sleep(DWORD dwMilliseconds) {
  // It never fails; it asks the hook so that a trace shows the wait and a kill can come there.
  emu::InjectedFault(emu::FaultPoint::kSleep, std::to_string(dwMilliseconds).c_str());
  if (dwMilliseconds == 0) {
    sched_yield();  // gives the rest of the time slice to another ready thread
    return;
  }
  if (dwMilliseconds == INFINITE) {
    for (;;) {
      pause();
    }
  }
  struct timespec left = {static_cast<time_t>(dwMilliseconds / 1000),
                          static_cast<long>(dwMilliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
