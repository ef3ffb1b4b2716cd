// The user's export of the product's registry record, as the check reads it.
#pragma once

#include <string>

#include "regfile/registry_text.h"

// Reads the .reg file at `path` (REGEDIT4, or version 5.00 in UTF-16 LE) into `hive`. On
// failure `problem` says why, with the line at fault, naming the file `shown`.
bool ReadRecordFile(const std::string& path, const std::string& shown, emu::registry::Hive& hive,
                    std::string& problem);
