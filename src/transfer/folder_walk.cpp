#include "transfer/folder_walk.h"

#include <string_view>
#include <vector>

namespace {

// A folder being listed: its path below the walked folder ("" or ending in '\'), its search,
// and whether the entry the search stands at has been walked, with its inside.
struct Listing {
  std::string prefix;
  HANDLE search = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAA found = {};
  bool walked = false;
};

// The listings of the folders being walked, innermost last; those still open are closed on
// every way out of the walk, also where a visitor raises a failure.
struct OpenListings {
  OpenListings() = default;
  OpenListings(const OpenListings&) = delete;
  OpenListings& operator=(const OpenListings&) = delete;
  ~OpenListings() {
    for (const Listing& listing : listings) {
      FindClose(listing.search);
    }
  }
  std::vector<Listing> listings;
};

std::string FolderOf(const std::string& prefix) {
  return prefix.empty() ? prefix : prefix.substr(0, prefix.size() - 1);
}

}  // namespace

void WalkFolder(const std::string& folder, const EntryVisitor& entry,
                const UnlistedVisitor& unlisted, EntryFacts facts) {
  auto report = [&](const std::string& prefix, DWORD code) {
    if (unlisted) {
      unlisted(FolderOf(prefix), code);
    }
  };
  OpenListings walking;
  std::vector<Listing>& open = walking.listings;
  auto list = [&](std::string prefix) {
    Listing listing;
    listing.prefix = std::move(prefix);
    listing.search = FindFirstFileA((folder + listing.prefix + "*.*").c_str(), &listing.found);
    if (listing.search == INVALID_HANDLE_VALUE) {
      // A folder with nothing to list, not even "." and "..", is no failure.
      DWORD code = GetLastError();
      if (code != ERROR_FILE_NOT_FOUND && code != ERROR_NO_MORE_FILES) {
        report(listing.prefix, code);
      }
      return;
    }
    open.push_back(std::move(listing));
  };
  list("");
  // Kept from entry to entry, so that their text is not made anew each time.
  std::string last;
  std::string asked = folder;
  WalkedEntry walked;
  while (!open.empty()) {
    Listing& here = open.back();
    if (here.walked) {
      // The listing of a folder ends at the first step that brings no new entry: a failed step
      // leaves the entry as it was.
      last.assign(here.found.cFileName);
      if (!FindNextFileA(here.search, &here.found)) {
        DWORD code = GetLastError();
        if (code != ERROR_NO_MORE_FILES) {
          report(here.prefix, code);
        }
        FindClose(here.search);
        open.pop_back();
        continue;
      }
      if (last == here.found.cFileName) {
        FindClose(here.search);
        open.pop_back();
        continue;
      }
    }
    here.walked = true;
    const std::string_view name = here.found.cFileName;
    if (name == "." || name == "..") {
      continue;
    }
    walked.relative.assign(here.prefix).append(name);
    if (facts == EntryFacts::kListed) {
      walked.attributes = here.found.dwFileAttributes;
    } else {
      asked.resize(folder.size());
      asked.append(walked.relative);
      walked.attributes = GetFileAttributesA(asked.c_str());
    }
    const WalkOn on = entry(walked);
    if (on == WalkOn::kStop) {
      return;
    }
    if (on == WalkOn::kEnter && walked.IsFolder()) {
      list(walked.relative + "\\");  // `here` is not used after this
    }
  }
}
