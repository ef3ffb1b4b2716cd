#include "transfer/folder_walk.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "support/windows_names.h"

namespace {

// A folder being listed: its path below the walked folder ("" or ending in '\'), its search,
// and whether the entry the search stands at has been walked, with its inside.
struct Listing {
  std::string prefix;
  HANDLE search = INVALID_HANDLE_VALUE;
  bool wide = false;  // listed in UTF-16, each name made ANSI here
  WIN32_FIND_DATAA found = {};
  bool walked = false;
  bool plain = false;  // a wide listing's entry whose name reads back as listed
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

// Whether the ANSI name made of a listed UTF-16 name names that entry, as Windows reads the
// name in a path: every character is the code page's (the name reads back as listed), none is
// one that no name holds, it ends in no dot or blank that the reading drops, and it is no
// device's.
bool ReadsAsListed(std::string_view ansi, const WCHAR* wide, int wide_size) {
  if (ansi.empty() || ansi.back() == '.' || ansi.back() == ' ' ||
      windows_names::MayBeDeviceName(ansi)) {
    return false;
  }
  for (char c : ansi) {
    if (windows_names::IsForbiddenNameChar(c)) {
      return false;
    }
  }
  WCHAR back[MAX_PATH];
  const int size =
      MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), back, MAX_PATH);
  return size == wide_size && std::equal(back, back + size, wide);
}

// The entry of a wide listing, its name made ANSI as the ANSI listing makes it. False where the
// name does not fit the ANSI entry, which a code page of one byte a character rules out.
bool TakeWideEntry(const WIN32_FIND_DATAW& wide, Listing& listing) {
  int wide_size = 0;
  while (wide_size < MAX_PATH && wide.cFileName[wide_size] != 0) {
    ++wide_size;
  }
  const int size = WideCharToMultiByte(CP_ACP, 0, wide.cFileName, wide_size,
                                       listing.found.cFileName, MAX_PATH - 1, nullptr, nullptr);
  if (size <= 0 && wide_size > 0) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  listing.found.cFileName[size] = '\0';
  listing.found.dwFileAttributes = wide.dwFileAttributes;
  // A link's own attributes are not those of where its name leads.
  listing.plain =
      (wide.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
      ReadsAsListed(std::string_view(listing.found.cFileName, size), wide.cFileName, wide_size);
  return true;
}

// Whether a walk of `folder` that asks after its names may list them in UTF-16: the code page
// takes one byte a character, so that every listed name fits its ANSI entry as the ANSI
// listing gives it, and the folder's path is whole (a drive's or a share's), so that an
// entry's path is as long as Windows measures it.
bool MayListWide(const std::string& folder) {
  CPINFO code_page;
  if (!GetCPInfo(CP_ACP, &code_page) || code_page.MaxCharSize != 1) {
    return false;
  }
  const bool on_drive = folder.size() >= 3 && folder[1] == ':' && folder[2] == '\\';
  return on_drive || folder.starts_with("\\\\");
}

// Opens the listing of `mask`, as FindFirstFileA or in UTF-16.
HANDLE FirstStep(const std::string& mask, Listing& listing) {
  if (!listing.wide) {
    return FindFirstFileA(mask.c_str(), &listing.found);
  }
  WCHAR wide_mask[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, mask.c_str(), -1, wide_mask, MAX_PATH) <= 0) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE_VALUE;
  }
  WIN32_FIND_DATAW wide;
  HANDLE search = FindFirstFileW(wide_mask, &wide);
  if (search != INVALID_HANDLE_VALUE && !TakeWideEntry(wide, listing)) {
    const DWORD code = GetLastError();
    FindClose(search);
    SetLastError(code);
    return INVALID_HANDLE_VALUE;
  }
  return search;
}

// Steps the listing to its next entry, as FindNextFileA or in UTF-16.
bool NextStep(Listing& listing) {
  if (!listing.wide) {
    return FindNextFileA(listing.search, &listing.found) != 0;
  }
  WIN32_FIND_DATAW wide;
  return FindNextFileW(listing.search, &wide) && TakeWideEntry(wide, listing);
}

}  // namespace

void WalkFolder(const std::string& folder, const EntryVisitor& entry,
                const UnlistedVisitor& unlisted, EntryFacts facts) {
  auto report = [&](const std::string& prefix, DWORD code) {
    if (unlisted) {
      unlisted(FolderOf(prefix), code);
    }
  };
  const bool wide = facts == EntryFacts::kAsked && MayListWide(folder);
  OpenListings walking;
  std::vector<Listing>& open = walking.listings;
  auto list = [&](std::string prefix) {
    Listing listing;
    listing.prefix = std::move(prefix);
    const std::string mask = folder + listing.prefix + "*.*";
    // A mask too long for an ANSI path is listed as ANSI, so that it fails as it does there.
    listing.wide = wide && mask.size() <= windows_names::kLongestFilePath;
    listing.search = FirstStep(mask, listing);
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
      if (!NextStep(here)) {
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
    const size_t asked_size = folder.size() + walked.relative.size();
    if (facts == EntryFacts::kListed ||
        (here.plain && asked_size <= windows_names::kLongestFilePath)) {
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
