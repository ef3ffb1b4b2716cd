#include "driver/update_run.h"

#include "driver/platform_machine.h"
#include "driver/run_lock.h"
#include "driver/update_sequence.h"
#include "package/package_files.h"
#include "support/folders.h"

void RunUpdate() {
  HoldRunLock();
  UpdateInputs inputs;
  inputs.product_key = ReadProductKey();
  inputs.install_dir = ProductFolder(GetWindowsDir(), inputs.product_key);
  inputs.package_dir = GetPackageDir();
  inputs.content_folder = ReadContentFolder(inputs.package_dir);
  inputs.package_read_at = inputs.package_dir;

  PlatformMachine machine;
  RunUpdateSequence(machine, inputs);
}
