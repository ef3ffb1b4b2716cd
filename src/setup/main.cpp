// The updater's entry: one update run, no arguments, no window. A failure anywhere in the
// run ends it here with one error box and exit code 1.
#include <exception>
#include <new>

#include "driver/system_dll_search.h"
#include "driver/update_run.h"
#include "support/failure.h"

int main() {
  LoadDllsFromSystemFolderOnly();
  try {
    RunUpdate();
  } catch (const Exception& failure) {
    ReportFailure(failure);
  } catch (const std::bad_alloc&) {
    ReportFailure("EOutOfMemory", "Out of memory", nullptr);
  } catch (const std::exception& failure) {
    ReportFailure("Exception", failure.what(), nullptr);
  }
  return 0;
}
