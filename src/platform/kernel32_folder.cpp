// Creating folders and asking what a path names, with Windows' attributes and error codes.
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <string>
#include <string_view>

#include "platform/machine.h"

namespace {

// The last component of a Windows path, without trailing separators.
std::string_view LastName(std::string_view path) {
  while (!path.empty() && (path.back() == '\\' || path.back() == '/')) {
    path.remove_suffix(1);
  }
  size_t cut = path.find_last_of("\\/:");
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

// Windows shows the host's dot files as hidden; "." and ".." are not names of their own.
bool IsHiddenName(std::string_view name) {
  return !name.empty() && name.front() == '.' && name != "." && name != "..";
}

}  // namespace

BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES) {
  if (DWORD fault = emu::InjectedFault("CreateDirectoryA", lpPathName); fault != 0) {
    return emu::Fail(fault);
  }
  if (lpPathName == nullptr || lpPathName[0] == '\0') {
    return emu::Fail(ERROR_PATH_NOT_FOUND);
  }
  std::string host = emu::HostPath(lpPathName);
  if (mkdir(host.c_str(), 0777) != 0) {
    // A missing folder on the way is the only way mkdir misses a path.
    return emu::Fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : emu::ErrorFromErrno(errno, host));
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
  if (DWORD fault = emu::InjectedFault("GetFileAttributesA", lpFileName); fault != 0) {
    emu::Fail(fault);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (lpFileName == nullptr || lpFileName[0] == '\0') {
    emu::Fail(ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  std::string host = emu::HostPath(lpFileName);
  struct stat info;
  if (stat(host.c_str(), &info) != 0) {
    emu::Fail(emu::ErrorFromErrno(errno, host));
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = 0;
  if (S_ISDIR(info.st_mode)) {
    attributes = FILE_ATTRIBUTE_DIRECTORY;
  } else {
    attributes = FILE_ATTRIBUTE_ARCHIVE;
    // Read-only for this process, or for everyone as a file without write permission is
    // (a host user the permissions do not bind still sees it so, as CreateFileA treats it).
    if ((info.st_mode & 0222) == 0 || access(host.c_str(), W_OK) != 0) {
      attributes |= FILE_ATTRIBUTE_READONLY;
    }
  }
  if (IsHiddenName(LastName(lpFileName))) {
    attributes |= FILE_ATTRIBUTE_HIDDEN;
  }
  return attributes;
}
