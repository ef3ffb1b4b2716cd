// Prints the launcher files, one name a line, in the order in which the run replaces them.
// The suites that set up a product's launcher files read the names from here, so that a name
// added to the code reaches every one of them.
#include <cstdio>

#include "transfer/launcher_files.h"

int main() {
  for (const char* name : kLauncherFiles) {
    std::printf("%s\n", name);
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
