// Prints the fault-point table, one call a line: its name, TAB, the codes it meets in
// practice separated by blanks (nothing after the TAB for a call that is never swept). The
// fault sweep reads its calls and codes from here.
#include <cstdio>

#include "win32emu/faults/fault_points.h"

int main() {
  for (const emu::FaultPointEntry& entry : emu::FaultPoints()) {
    std::printf("%s\t", entry.call);
    const char* separator = "";
    for (DWORD code : entry.codes) {
      std::printf("%s%lu", separator, static_cast<unsigned long>(code));
      separator = " ";
    }
    std::printf("\n");
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
