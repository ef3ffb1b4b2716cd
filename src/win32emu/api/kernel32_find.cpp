// Folder listing: FindFirstFileA, FindNextFileA, FindClose, and FindFirstFileW, FindNextFileW,
// which list the same entries with their host names in UTF-16. The folder is read lazily, one
// entry per call, so that a folder of any size costs one open folder stream and one stat per
// entry listed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "support/windows_names.h"
#include "win32emu/faults/fault_points.h"
#include "win32emu/machine/handle_table.h"
#include "win32emu/machine/host_file_info.h"
#include "win32emu/machine/listed_entry.h"
#include "win32emu/machine/machine.h"
#include "win32emu/machine/names.h"
#include "win32emu/machine/path_rules.h"

namespace {

// A listing in progress; its subject is the mask path given to FindFirstFileA.
struct FolderSearch : emu::HandleObject {
  FolderSearch(DIR* stream, std::string host_path, std::string_view mask, std::string_view wildcard,
               bool at_drive_root)
      : folder(stream),
        host_folder(std::move(host_path)),
        pattern(wildcard),
        dots_left(at_drive_root ? 0 : 2) {
    subject = mask;
    if (host_folder.empty() || host_folder.back() != '/') {
      host_folder += '/';
    }
  }
  ~FolderSearch() override { closedir(folder); }
  FolderSearch(const FolderSearch&) = delete;
  FolderSearch& operator=(const FolderSearch&) = delete;

  DIR* folder;
  std::string host_folder;  // as opened, ending in '/'
  std::string pattern;
  int dots_left;  // "." then "..", unless the folder is a drive's root
  bool finished = false;
  // Entries are looked at by their path while it leads into the folder listed (see NextEntry).
  bool by_path = true;
  std::string entry_path;
  std::string host_name;  // of the entry delivered last
  bool device_known = false;
  dev_t device = 0;
};

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// Windows' wildcard match, '*' and '?', without regard to case in the machine's code page;
// "*.*" matches every name.
bool Matches(std::string_view pattern, std::string_view name) {
  if (pattern == "*" || pattern == "*.*") {
    return true;
  }
  size_t p = 0, n = 0, star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() &&
        (pattern[p] == '?' || emu::UpperAnsi(pattern[p]) == emu::UpperAnsi(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') {
    ++p;
  }
  return p == pattern.size();
}

// Host names that no Windows folder could hold, and that a Windows program could not name:
// control bytes and the characters Windows reserves, a device's name, and names too long for
// cFileName. (A name ending in a dot or a blank is listed: Windows makes a folder so named
// when its path ends in a separator.) Such entries are passed
// over, so that every listed name can be opened and fits one line of a text list.
bool IsNameable(std::string_view host_name, std::string_view ansi_name) {
  if (ansi_name.size() > windows_names::kLongestFilePath ||
      windows_names::IsDeviceName(host_name)) {
    return false;
  }
  for (char c : host_name) {
    if (windows_names::IsForbiddenNameChar(c) || c == '\\') {
      return false;
    }
  }
  return true;
}

bool IsDriveRoot(std::string_view folder) {
  if (folder.size() < 3 || folder[1] != ':') {
    return false;
  }
  for (size_t at = 2; at < folder.size(); ++at) {
    if (!IsSeparator(folder[at])) {
      return false;
    }
  }
  return true;
}

void Fill(WIN32_FIND_DATAA* out, std::string_view name, const struct stat& info, bool read_only) {
  WIN32_FIND_DATAA entry = {};
  entry.dwFileAttributes = emu::AttributesFromHost(info, name, read_only);
  entry.ftCreationTime = emu::FileTimeFromHost(info.st_ctim);
  entry.ftLastAccessTime = emu::FileTimeFromHost(info.st_atim);
  entry.ftLastWriteTime = emu::FileTimeFromHost(info.st_mtim);
  if (!S_ISDIR(info.st_mode)) {
    auto size = static_cast<std::uint64_t>(info.st_size);
    entry.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    entry.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
  }
  std::memcpy(entry.cFileName, name.data(), name.size());
  *out = entry;
}

enum class Looked { kGone, kThrough, kAtLink };

// Stats the entry `name` of the folder, following a symbolic link as Windows programs see
// through them, or describing the link itself when it leads nowhere.
Looked StatEntry(int folder_fd, const char* name, unsigned char type, struct stat* info) {
  if (fstatat(folder_fd, name, info, 0) == 0) {
    return Looked::kThrough;
  }
  return errno == ENOENT && (type == DT_LNK || type == DT_UNKNOWN) &&
                 fstatat(folder_fd, name, info, AT_SYMLINK_NOFOLLOW) == 0
             ? Looked::kAtLink
             : Looked::kGone;
}

// Looks at the entry by its path, where that path still leads to the entry listed: its folder
// has kept its path (this or another process may have renamed it since the listing began) and
// the entry is no link. Then the question about that path that comes next may take the
// answer (machine/listed_entry.h). False where the path does not lead there, and the listing
// looks at its entries in the folder itself from then on.
bool StatByPath(FolderSearch& search, const dirent& entry, struct stat* info) {
  if (!search.by_path || entry.d_type == DT_LNK) {
    return false;
  }
  if (!search.device_known) {
    struct stat folder;
    search.by_path = fstat(dirfd(search.folder), &folder) == 0;
    search.device_known = true;
    search.device = folder.st_dev;
  }
  search.entry_path.assign(search.host_folder).append(entry.d_name);
  search.by_path = search.by_path && stat(search.entry_path.c_str(), info) == 0 &&
                   info->st_ino == entry.d_ino && info->st_dev == search.device;
  return search.by_path;
}

// Delivers the next entry into `out`, or returns the code that ends the listing (18, or the
// host's error while reading the folder). `out` is written only when an entry is delivered.
DWORD NextEntry(FolderSearch& search, WIN32_FIND_DATAA* out) {
  int folder_fd = dirfd(search.folder);
  struct stat info;
  while (search.dots_left > 0) {
    const char* dots = search.dots_left-- == 2 ? "." : "..";
    if (Matches(search.pattern, dots) && fstatat(folder_fd, dots, &info, 0) == 0) {
      if (!search.device_known && search.dots_left == 1) {
        search.device_known = true;  // "." is the folder itself
        search.device = info.st_dev;
      }
      Fill(out, dots, info, false);
      search.host_name.assign(dots);
      return ERROR_SUCCESS;
    }
  }
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(search.folder);
    if (entry == nullptr) {
      search.finished = true;
      return errno == 0 ? ERROR_NO_MORE_FILES : emu::ErrorFromErrno(errno, "");
    }
    std::string_view host_name(entry->d_name);
    if (host_name == "." || host_name == "..") {
      continue;
    }
    std::string name = emu::AnsiFromHost(host_name);
    if (!IsNameable(host_name, name) || !Matches(search.pattern, name)) {
      continue;
    }
    const bool by_path = StatByPath(search, *entry, &info);
    const Looked looked =
        by_path ? Looked::kThrough : StatEntry(folder_fd, entry->d_name, entry->d_type, &info);
    if (looked == Looked::kGone) {
      continue;  // gone since the folder was read
    }
    bool read_only = !S_ISDIR(info.st_mode) && !S_ISLNK(info.st_mode) &&
                     emu::HostFileIsReadOnly(info, folder_fd, entry->d_name);
    if (by_path) {
      emu::NoteListedEntry(search.entry_path, info, read_only);
    }
    Fill(out, name, info, read_only);
    if (looked == Looked::kAtLink) {
      out->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;  // as Windows marks its links
    }
    search.host_name.assign(host_name);
    return ERROR_SUCCESS;
  }
}

// The entry of `listed` with its host name in UTF-16.
void FillWide(WIN32_FIND_DATAW* out, const WIN32_FIND_DATAA& listed, std::string_view host_name) {
  WIN32_FIND_DATAW entry = {};
  entry.dwFileAttributes = listed.dwFileAttributes;
  entry.ftCreationTime = listed.ftCreationTime;
  entry.ftLastAccessTime = listed.ftLastAccessTime;
  entry.ftLastWriteTime = listed.ftLastWriteTime;
  entry.nFileSizeHigh = listed.nFileSizeHigh;
  entry.nFileSizeLow = listed.nFileSizeLow;
  // Fits: UTF-16 takes no more units than UTF-8 bytes, and the ANSI name fits (IsNameable).
  const std::u16string name = emu::Utf16FromHost(host_name);
  std::copy(name.begin(), name.end(), entry.cFileName);
  *out = entry;
}

// The code Windows gives when the folder of a mask cannot be opened.
DWORD OpenFailure(int err, const std::string& host_folder) {
  if (err == ENOENT) {
    return ERROR_PATH_NOT_FOUND;
  }
  if (err == ENOTDIR) {
    std::string folder = host_folder;
    while (folder.size() > 1 && folder.back() == '/') {
      folder.pop_back();
    }
    struct stat info;
    bool names_a_file = stat(folder.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
    return names_a_file ? ERROR_INVALID_NAME : ERROR_PATH_NOT_FOUND;
  }
  return emu::ErrorFromErrno(err, host_folder);
}

// Opens the listing of `mask` and delivers its first entry; nullptr, with the code given, where
// there is none.
FolderSearch* BeginSearch(std::string_view mask, WIN32_FIND_DATAA* lpFindFileData, HANDLE* handle) {
  *handle = INVALID_HANDLE_VALUE;
  if (mask.empty()) {
    emu::Fail(ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  if (DWORD refused =
          emu::CheckAnsiPath(mask, windows_names::kLongestFilePath, emu::LastName::kWildcards);
      refused != 0) {
    emu::Fail(refused);
    return nullptr;
  }
  size_t split = mask.find_last_of("\\/");
  std::string folder(split == std::string_view::npos ? "" : mask.substr(0, split + 1));
  if (folder.empty() && mask.size() >= 2 && mask[1] == ':') {
    folder = std::string(mask.substr(0, 2));  // "C:*.*"
    split = 1;
  }
  std::string_view pattern = split == std::string_view::npos ? mask : mask.substr(split + 1);
  if (pattern.empty()) {
    emu::Fail(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  // Most folders listed exist as spelled: the case-blind lookup only when not.
  std::string host_folder =
      folder.empty() ? std::string(".") : emu::HostPathAsSpelled(folder.c_str());
  DIR* stream = opendir(host_folder.c_str());
  if (stream == nullptr && !folder.empty() && emu::MissedAsSpelled(errno)) {
    host_folder = emu::HostPath(folder.c_str());
    stream = opendir(host_folder.c_str());
  }
  if (stream == nullptr) {
    emu::Fail(OpenFailure(errno, host_folder));
    return nullptr;
  }
  auto search = std::make_unique<FolderSearch>(stream, std::move(host_folder), mask, pattern,
                                               IsDriveRoot(folder));
  if (DWORD ended = NextEntry(*search, lpFindFileData); ended != ERROR_SUCCESS) {
    emu::Fail(ended == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : ended);
    return nullptr;
  }
  FolderSearch* begun = search.get();
  *handle = emu::AddHandle(std::move(search));
  return begun;
}

// The search of `hFindFile`, at its next entry; nullptr, with the code given, where it has
// none or the call fails.
FolderSearch* ContinueSearch(HANDLE hFindFile, emu::FaultPoint point,
                             WIN32_FIND_DATAA* lpFindFileData) {
  auto* search = emu::FindHandleOf<FolderSearch>(hFindFile);
  if (search == nullptr) {
    emu::Fail(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (DWORD fault = emu::InjectedFault(point, search->subject.c_str()); fault != 0) {
    emu::Fail(fault);
    return nullptr;
  }
  if (lpFindFileData == nullptr) {
    emu::Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (search->finished) {
    emu::Fail(ERROR_NO_MORE_FILES);
    return nullptr;
  }
  DWORD ended = NextEntry(*search, lpFindFileData);
  if (ended != ERROR_SUCCESS) {
    emu::Fail(ended);
    return nullptr;
  }
  return search;
}

}  // namespace

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kFindFirstFileA, lpFileName); fault != 0) {
    emu::Fail(fault);
    return INVALID_HANDLE_VALUE;
  }
  if (lpFileName == nullptr || lpFindFileData == nullptr) {
    emu::Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle;
  BeginSearch(lpFileName, lpFindFileData, &handle);
  return handle;
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
  return ContinueSearch(hFindFile, emu::FaultPoint::kFindNextFileA, lpFindFileData) != nullptr;
}

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
  bool lossy = false;
  const std::string mask = lpFileName == nullptr
                               ? std::string()
                               : emu::AnsiFromUtf16(std::u16string_view(lpFileName), &lossy);
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kFindFirstFileW, mask.c_str());
      fault != 0) {
    emu::Fail(fault);
    return INVALID_HANDLE_VALUE;
  }
  if (lpFileName == nullptr || lpFindFileData == nullptr) {
    emu::Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (lossy) {
    emu::Fail(ERROR_INVALID_NAME);  // no path of the machine holds that character
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle;
  WIN32_FIND_DATAA listed;
  if (const FolderSearch* search = BeginSearch(mask, &listed, &handle)) {
    FillWide(lpFindFileData, listed, search->host_name);
  }
  return handle;
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
  WIN32_FIND_DATAA listed;
  const FolderSearch* search = ContinueSearch(hFindFile, emu::FaultPoint::kFindNextFileW,
                                              lpFindFileData == nullptr ? nullptr : &listed);
  if (search == nullptr) {
    return FALSE;
  }
  FillWide(lpFindFileData, listed, search->host_name);
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
  // Only a search handle closes here; a file handle given by mistake stays open.
  if (emu::FindHandleOf<FolderSearch>(hFindFile) == nullptr) {
    return emu::Fail(ERROR_INVALID_HANDLE);
  }
  emu::RemoveHandle(hFindFile);
  return TRUE;
}
