// A stand-in for another program that holds a named mutex: it takes the mutex, says "held" on
// standard output, keeps it for a while and ends without releasing it, so that the mutex is
// left abandoned.
//
//   mutex_holder [NAME [SECONDS]]
//
// Without arguments, as the conformance suite starts it (the emulation passes none), it
// holds "Global\QuestUpdaterConformanceHolder" for one second.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/platform.h"

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "Global\\QuestUpdaterConformanceHolder";
  double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  if (mutex == nullptr) {
    std::fprintf(stderr, "mutex_holder: CreateMutexA failed with %lu\n",
                 static_cast<unsigned long>(GetLastError()));
    return 2;
  }
  DWORD taken = WaitForSingleObject(mutex, INFINITE);
  if (taken != WAIT_OBJECT_0 && taken != WAIT_ABANDONED) {
    std::fprintf(stderr, "mutex_holder: WaitForSingleObject gave %lu\n",
                 static_cast<unsigned long>(taken));
    return 2;
  }
  std::printf("held\n");
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  return 0;
}
