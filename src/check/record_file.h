// The user's export of the product's registry record, as the check reads it.
#pragma once

#include <set>
#include <string>

#include "regfile/registry_text.h"

// The export as the run on the user's machine reads it.
struct UserRecord {
  regfile::Hive hive;
  // The values of a wide export whose text holds a character the users' code page lacks
  // (key path and value name, in lower case, joined by '\'): what an ANSI program reads of
  // them there, a '?' or a likeness, cannot be told.
  std::set<std::string> unmapped;

  bool Unmapped(const std::string& key_path, const std::string& name) const;
};

// Reads the .reg file at `path` (REGEDIT4, or version 5.00 in UTF-16 LE narrowed through
// `code_page`) into `record`. On failure `problem` says why, with the line at fault, naming the
// file `shown`.
bool ReadRecordFile(const std::string& path, const std::string& shown, unsigned code_page,
                    UserRecord& record, std::string& problem);
