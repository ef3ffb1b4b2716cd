// Creating and removing folders and asking what a path names, with Windows' attributes and
// error codes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <string>
#include <string_view>

#include "support/windows_names.h"
#include "win32emu/faults/fault_points.h"
#include "win32emu/machine/folder_names.h"
#include "win32emu/machine/host_file_info.h"
#include "win32emu/machine/listed_entry.h"
#include "win32emu/machine/machine.h"
#include "win32emu/machine/path_rules.h"

namespace {

// The last component of a Windows path, without trailing separators.
std::string_view LastName(std::string_view path) {
  while (!path.empty() && (path.back() == '\\' || path.back() == '/')) {
    path.remove_suffix(1);
  }
  size_t cut = path.find_last_of("\\/:");
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

}  // namespace

BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kCreateDirectoryA, lpPathName);
      fault != 0) {
    return emu::Fail(fault);
  }
  if (lpPathName == nullptr || lpPathName[0] == '\0') {
    return emu::Fail(ERROR_PATH_NOT_FOUND);
  }
  // The folder's path leaves room below MAX_PATH for a short name in it.
  if (DWORD refused = emu::CheckAnsiPath(lpPathName, windows_names::kLongestFolderPath);
      refused != 0) {
    return emu::Fail(refused == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : refused);
  }
  std::string host = emu::HostPath(lpPathName);
  if (mkdir(host.c_str(), 0777) != 0) {
    // A missing folder on the way is the only way mkdir misses a path.
    return emu::Fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : emu::ErrorFromErrno(errno, host));
  }
  emu::NoteFolderMade(host);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI RemoveDirectoryA(LPCSTR lpPathName) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kRemoveDirectoryA, lpPathName);
      fault != 0) {
    return emu::Fail(fault);
  }
  if (lpPathName == nullptr || lpPathName[0] == '\0') {
    return emu::Fail(ERROR_PATH_NOT_FOUND);
  }
  if (DWORD refused = emu::CheckAnsiPath(lpPathName, windows_names::kLongestFilePath);
      refused != 0) {
    return emu::Fail(refused);
  }
  const std::string host = emu::WithoutTrailingSlashes(emu::HostPath(lpPathName));
  struct stat info;
  if (lstat(host.c_str(), &info) != 0) {
    return emu::Fail(emu::ErrorFromErrno(errno, host));
  }
  // A link to a folder goes as the folder would, and what it leads to stays; anything else
  // that is no folder is refused.
  struct stat led_to;
  if (S_ISLNK(info.st_mode) && stat(host.c_str(), &led_to) == 0 && S_ISDIR(led_to.st_mode)) {
    if (unlink(host.c_str()) != 0) {
      return emu::Fail(emu::ErrorFromErrno(errno, host));
    }
  } else if (!S_ISDIR(info.st_mode)) {
    return emu::Fail(ERROR_DIRECTORY);
  } else if (rmdir(host.c_str()) != 0) {
    return emu::Fail(errno == EEXIST || errno == ENOTEMPTY ? ERROR_DIR_NOT_EMPTY
                                                           : emu::ErrorFromErrno(errno, host));
  }
  emu::NoteFolderGone(host);
  return TRUE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kGetFileAttributesA, lpFileName);
      fault != 0) {
    emu::Fail(fault);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (lpFileName == nullptr || lpFileName[0] == '\0') {
    emu::Fail(ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (DWORD refused = emu::CheckAnsiPath(lpFileName, windows_names::kLongestFilePath);
      refused != 0) {
    emu::Fail(refused);
    return INVALID_FILE_ATTRIBUTES;
  }
  // Most names asked about exist as spelled: the case-blind lookup only when not.
  std::string host = emu::HostPathAsSpelled(lpFileName);
  // A walk asks about each entry right after the listing gave it: the listing looked already.
  if (const emu::ListedEntry* listed = emu::ListedJustBefore(host)) {
    return emu::AttributesFromHost(listed->info, LastName(lpFileName), listed->read_only);
  }
  struct stat info;
  int got = stat(host.c_str(), &info);
  if (got != 0 && emu::MissedAsSpelled(errno)) {
    host = emu::HostPath(lpFileName);
    got = stat(host.c_str(), &info);
  }
  if (got != 0) {
    emu::Fail(emu::ErrorFromErrno(errno, host));
    return INVALID_FILE_ATTRIBUTES;
  }
  // The same attributes as the folder listing shows for the entry.
  bool read_only = !S_ISDIR(info.st_mode) && emu::HostFileIsReadOnly(info, AT_FDCWD, host.c_str());
  return emu::AttributesFromHost(info, LastName(lpFileName), read_only);
}

// Of the attributes only read-only is kept, as the host's write bits, and only for a file: a
// folder's read-only attribute does not keep Windows from changing what it holds, a folder
// without write bits would keep the host from it.
BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kSetFileAttributesA, lpFileName);
      fault != 0) {
    return emu::Fail(fault);
  }
  if (lpFileName == nullptr || lpFileName[0] == '\0') {
    return emu::Fail(ERROR_PATH_NOT_FOUND);
  }
  if (DWORD refused = emu::CheckAnsiPath(lpFileName, windows_names::kLongestFilePath);
      refused != 0) {
    return emu::Fail(refused);
  }
  const std::string host = emu::HostPath(lpFileName);
  struct stat info;
  if (stat(host.c_str(), &info) != 0) {
    return emu::Fail(emu::ErrorFromErrno(errno, host));
  }
  if (S_ISDIR(info.st_mode)) {
    return TRUE;
  }
  const bool read_only = (dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (read_only == emu::HostFileIsReadOnly(info, AT_FDCWD, host.c_str())) {
    return TRUE;
  }
  const mode_t bits = read_only ? info.st_mode & 07555 : (info.st_mode & 07777) | S_IWUSR;
  if (chmod(host.c_str(), bits) != 0) {
    return emu::Fail(emu::ErrorFromErrno(errno, host));
  }
  return TRUE;
}
