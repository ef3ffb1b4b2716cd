// Prints the fault-point table, one call a line: its name, TAB, the codes it meets in
// practice separated by blanks (nothing after the TAB for a call that is never swept), and
// for a call that writes data a further TAB and "writes data". The fault sweep reads its calls
// and codes from here, the kill suite the calls that a kill can end halfway.
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
    std::printf("%s\n", entry.writes_data ? "\twrites data" : "");
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
