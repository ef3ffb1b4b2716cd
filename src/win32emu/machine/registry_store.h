// The registry's one file, <root>/system.reg, shared by every process on the machine: read
// under a shared lock, changed under an exclusive one by re-reading, changing and replacing
// the whole file, so that a change reaches the disk whole or not at all and no writer loses
// another's values.
#pragma once

#include <functional>
#include <string>

#include "regfile/registry_text.h"
#include "win32emu/emulated_win32.h"

namespace emu::registry {

// The machine's registry is held in the text of a registry export.
using regfile::Hive;
using regfile::Key;
using regfile::ParseError;
using regfile::Value;

// The host path of the registry file.
std::string StorePath();

// Fills `hive` from the file (a missing file is an empty hive). Returns 0, or the Win32 code:
// ERROR_REGISTRY_CORRUPT for a file that cannot be read as a hive, after saying on standard
// error which line was at fault.
DWORD LoadHive(Hive& hive);

// Applies `change` to the hive as it is on disk now and writes the result, all under the
// exclusive lock. When `change` returns non-zero nothing is written and that code returned.
DWORD UpdateHive(const std::function<DWORD(Hive&)>& change);

// True when this process may replace the registry file.
bool StoreWritable();

}  // namespace emu::registry
