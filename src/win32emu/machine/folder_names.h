// Case-blind lookup of names in host folders, as NTFS finds them: a per-process memory of
// each folder's names by their case-blind key, read again whenever the folder's modification
// time, size or identity changed, and kept up to date with the names this process makes, so
// that making many files in one folder costs no reading of it per file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace emu {

// What a case-blind lookup found.
struct CaseBlindLookup {
  enum { kFound, kAbsent, kNoFolder } result = kAbsent;
  std::string name;  // the entry's name when found
};

// The entry of host folder `folder` that `name` (UTF-8) names regardless of letter case:
// `name` itself where it exists (unless `exact_missing` says that it does not), else the
// smallest by bytes of the names equal to it without regard to case. kNoFolder when the
// folder is not there, or cannot be read.
CaseBlindLookup CaseBlindEntry(const std::string& folder, std::string_view name,
                               bool exact_missing = false);

// What the memory alone tells of `name` in host folder `folder`: kFound or kAbsent where the
// folder's names are remembered and the folder has not changed since but by this process's own
// new names; none where the folder must be looked into, or where a name that differs from
// `name` in case only is remembered (the one spelled as given may be there as well).
// `before_own_name`: for a name this process is about to make. Where the folder has changed by
// this process's own new names only since the last look, the memory answers with no look at
// the folder: that look would take whatever else changed meanwhile as this process's own as
// well. A folder gone from its path is then not seen; the caller asks again without.
std::optional<CaseBlindLookup> KnownEntry(const std::string& folder, std::string_view name,
                                          bool before_own_name = false);

// Tells the lookup that this process has just made `host_path`, or removed it.
void NoteEntryMade(const std::string& host_path);
// Tells the lookup that this process has just made the folder `host_folder`: it holds no names
// yet, so that the first lookups in it need not read it.
void NoteFolderMade(const std::string& host_folder);
void NoteEntryRemoved(const std::string& host_path);

// Tells the lookup that the host folder `host_folder` has gone from its path, removed or
// renamed: what it remembers of that folder and of every folder inside it is forgotten, with
// the folder that held it.
void NoteFolderGone(const std::string& host_folder);

}  // namespace emu
