// The entry the folder listing gave last, kept for the one question that a walk of a folder
// tree asks right after it: what the name as listed holds now (GetFileAttributesA). Where that
// name leads to the host path the listing looked at, the listing's look answers it, with no
// host call.
//
// The answer holds only for the emulated call right after the listing's, on the same thread,
// and only while no test's fault hook is in place (a test's hook may change the machine in the
// middle of a call). Between two calls back to back this process changes nothing, and whatever
// another process changes meanwhile might as well have come after both calls.
#pragma once

#include <sys/stat.h>
#include <string>
#include <string_view>

namespace emu {

// What the listing found at the host path of an entry it gave.
struct ListedEntry {
  std::string host_path;
  struct stat info {};
  bool read_only = false;
};

// Notes the entry `name` of the host folder `host_folder` (ending in '/'), as the listing's
// stat found it, following links.
void NoteListedEntry(std::string_view host_folder, std::string_view name, const struct stat& info,
                     bool read_only);

// The listing's look at `host_path`, when the call before this one listed that very path; else
// nullptr. Asked once: the entry is then forgotten.
const ListedEntry* ListedJustBefore(const std::string& host_path);

}  // namespace emu
