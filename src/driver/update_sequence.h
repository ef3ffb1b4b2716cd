// The update's steps, from the version gate to the start of the product's setup program, written
// once against what they ask of the machine: the run carries them out on the platform, the
// package check on a model of a user's machine.
#pragma once

#include <optional>
#include <string>

#include "driver/look_ahead.h"
#include "driver/update_machine.h"

// What the run knows before its steps: what the package says and where things are.
struct UpdateInputs {
  std::string product_key;
  std::string install_dir;  // Windows directory \ ProductKey \ .
  std::string package_dir;  // the updater's folder, ending in '\'
  std::string content_folder;
  // Where set.inf is read: the package folder itself, or where the package check has it.
  std::string package_read_at;
};

// The product's folder: Windows directory \ ProductKey \ .
std::string ProductFolder(const std::string& windows_dir, const std::string& product_key);

// The record's path below HKEY_LOCAL_MACHINE.
std::string RecordPath(const std::string& product_key);

// Every way the steps end other than by a failure (an error box, raised as an exception).
enum class UpdateEnd {
  kNothingInstalled,      // told with a box: the product has no record
  kNoProductVersion,      // in silence: the record has no "ProductVersion"
  kVersionNotListed,      // told with a box: the package does not update that version
  kUnsupportedInstaller,  // in silence: an installer "Version" this updater does not handle
  kNoNewLaunchers,        // in silence: the launcher files are due, the package has none
  kContentPresent,        // in silence: the content folder is in the product's folder already
  kComplete,              // the content copied, the record completed, setup.exe started
};

// The version gate: none when the installed version is one this package updates, else the end.
std::optional<UpdateEnd> PassVersionGate(UpdateMachine& machine, const UpdateInputs& inputs);

// The installer check and what the stages will do, before any of them runs. Records
// "OldInstVer" where the launcher files are due.
UpdatePlan PlanUpdate(UpdateMachine& machine, const UpdateInputs& inputs);

// The look-ahead, the launcher and content stages, and the start of the product's setup.
UpdateEnd CarryOutUpdate(UpdateMachine& machine, const UpdateInputs& inputs,
                         const UpdatePlan& plan);

// The three in their order.
UpdateEnd RunUpdateSequence(UpdateMachine& machine, const UpdateInputs& inputs);
