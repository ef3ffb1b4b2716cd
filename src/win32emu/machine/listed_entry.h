// The entry the folder listing gave last, kept for the one question that a walk of a folder
// tree asks right after it: what the name as listed holds now (GetFileAttributesA). The
// listing looks at an entry by its path where that path leads to the entry listed; where the
// question's name leads to that same host path, the listing's look answers it, with no host
// call.
//
// The answer holds only for the emulated call right after the listing's, in a process whose
// calls one thread makes, and only while no test's fault hook is in place (a test's hook may
// change the machine in the middle of a call). Between two calls back to back this process
// changes nothing, and whatever another process changes meanwhile might as well have come
// after both calls: the listing looked where the path led at its own call.
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

// Notes the entry at `host_path`, as the listing's stat of that path found it, following
// links: the listing's own entry, found where the path leads at the listing's call.
void NoteListedEntry(std::string_view host_path, const struct stat& info, bool read_only);

// The listing's look at `host_path`, when the call before this one listed that very path; else
// nullptr. Asked once: the entry is then forgotten.
const ListedEntry* ListedJustBefore(const std::string& host_path);

}  // namespace emu
