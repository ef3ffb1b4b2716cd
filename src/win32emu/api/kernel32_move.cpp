// MoveFileExA and MoveFileA: a file or a folder renamed in one step within its drive, with
// Windows' checks of what may be replaced and of the handles that stand in the way.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "support/windows_names.h"
#include "win32emu/faults/fault_points.h"
#include "win32emu/machine/folder_names.h"
#include "win32emu/machine/host_file_info.h"
#include "win32emu/machine/machine.h"
#include "win32emu/machine/path_rules.h"
#include "win32emu/machine/share_locks.h"

namespace {

constexpr DWORD kKnownFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED |
                              MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_WRITE_THROUGH;

std::string FolderOf(const std::string& host_path) {
  size_t slash = host_path.rfind('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : host_path.substr(0, slash));
}

std::string LastNameOf(const std::string& host_path) {
  size_t slash = host_path.rfind('/');
  return slash == std::string::npos ? host_path : host_path.substr(slash + 1);
}

// The drive letter on which the host path lies.
char DriveOf(const std::string& host_path) {
  std::string absolute = host_path;
  if (!absolute.starts_with('/')) {
    char* here = getcwd(nullptr, 0);
    absolute = std::string(here != nullptr ? here : "") + "/" + absolute;
    std::free(here);
  }
  return emu::WindowsPath(absolute)[0];
}

// A file open to ask about its handles, closed with the object.
struct Opened {
  explicit Opened(const std::string& host_path)
      : fd(open(host_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW)) {}
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;
  ~Opened() {
    if (fd >= 0) {
      close(fd);
    }
  }
  int fd;
};

// Why an existing `host_target` may not be replaced by a file: 0 when it may. Windows replaces
// neither a folder nor a read-only file, nor a file that any handle holds open, whatever the
// handle shares.
DWORD ReplacementRefusal(const std::string& host_target, const struct stat& target) {
  struct stat led_to;
  if (S_ISDIR(target.st_mode) ||
      (S_ISLNK(target.st_mode) && stat(host_target.c_str(), &led_to) == 0 &&
       S_ISDIR(led_to.st_mode)) ||
      (!S_ISLNK(target.st_mode) &&
       emu::HostFileIsReadOnly(target, AT_FDCWD, host_target.c_str()))) {
    return ERROR_ACCESS_DENIED;
  }
  Opened held(host_target);
  return held.fd >= 0 && emu::OthersHoldIt(held.fd) ? ERROR_ACCESS_DENIED : 0;
}

// Renames without replacing; EEXIST when the name is taken. 0, or the host error.
int RenameToFreeName(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return errno;
  }
  // A file system without that way: the name was free when looked at.
  return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

DWORD WindowsRenameError(int err, const std::string& host_target) {
  if (err == EXDEV) {
    return ERROR_NOT_SAME_DEVICE;
  }
  if (err == EEXIST || err == ENOTEMPTY) {
    return ERROR_ALREADY_EXISTS;
  }
  if (err == EINVAL) {
    return ERROR_SHARING_VIOLATION;  // a folder moved into itself: it is in use as the source
  }
  return emu::ErrorFromErrno(err, host_target);
}

// A rename of `host_source` to a name that already names the same entry, told apart only by
// letter case: the entry takes the new spelling.
DWORD Respell(const std::string& host_source, const char* new_name) {
  std::string spelled = FolderOf(host_source) + "/" +
                        LastNameOf(emu::WithoutTrailingSlashes(emu::HostPathAsSpelled(new_name)));
  if (spelled == host_source || rename(host_source.c_str(), spelled.c_str()) == 0) {
    return 0;
  }
  return emu::ErrorFromErrno(errno, spelled);
}

DWORD MoveFolder(const std::string& host_source, const std::string& host_target, bool target_exists,
                 bool replace) {
  if (target_exists) {
    return replace ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS;
  }
  // A file held inside, by a handle that does not share deletion, keeps the folder's name.
  if (emu::FileInsideDeniesDeletion(host_source)) {
    return ERROR_ACCESS_DENIED;
  }
  if (int err = RenameToFreeName(host_source, host_target); err != 0) {
    return WindowsRenameError(err, host_target);
  }
  emu::NoteFolderGone(host_source);
  emu::NoteFolderGone(host_target);
  return 0;
}

DWORD MoveFile(const std::string& host_source, const std::string& host_target, bool target_exists,
               const struct stat& target, bool replace) {
  // The source is opened for DELETE access, sharing everything: an open that does not share
  // deletion stands in the way. Its marks last until the rename is done. A link is renamed as
  // a name of its own, and its opens do not count.
  Opened source(host_source);
  if (source.fd >= 0) {
    DWORD refused = emu::ClaimShare(
        source.fd,
        {.remove = true, .share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE});
    if (refused != 0) {
      return refused;
    }
  }
  int err = 0;
  if (target_exists) {
    if (!replace) {
      return ERROR_ALREADY_EXISTS;
    }
    if (DWORD refused = ReplacementRefusal(host_target, target); refused != 0) {
      return refused;
    }
    err = rename(host_source.c_str(), host_target.c_str()) == 0 ? 0 : errno;
  } else {
    err = RenameToFreeName(host_source, host_target);
  }
  if (err != 0) {
    return WindowsRenameError(err, host_target);
  }
  emu::NoteEntryRemoved(host_source);
  emu::NoteEntryRemoved(host_target);
  return 0;
}

DWORD Move(LPCSTR existing_name, LPCSTR new_name, DWORD flags) {
  if (existing_name == nullptr || new_name == nullptr || (flags & ~kKnownFlags) != 0 ||
      (flags & MOVEFILE_DELAY_UNTIL_REBOOT) != 0) {
    return ERROR_INVALID_PARAMETER;  // a move at the next start is not emulated
  }
  if (existing_name[0] == '\0' || new_name[0] == '\0') {
    return ERROR_PATH_NOT_FOUND;
  }
  for (LPCSTR path : {existing_name, new_name}) {
    if (DWORD refused = emu::CheckAnsiPath(path, windows_names::kLongestFilePath); refused != 0) {
      return refused;
    }
  }
  const std::string host_source = emu::WithoutTrailingSlashes(emu::HostPath(existing_name));
  struct stat source;
  if (lstat(host_source.c_str(), &source) != 0) {
    return emu::ErrorFromErrno(errno, host_source);
  }
  const std::string host_target = emu::WithoutTrailingSlashes(emu::HostPath(new_name));
  struct stat target;
  bool target_exists = lstat(host_target.c_str(), &target) == 0;
  if (!target_exists && errno != ENOENT) {
    return emu::ErrorFromErrno(errno, host_target);
  }
  // Another drive is another volume, even where the host keeps both on one file system. A
  // move between volumes, which Windows makes as a copy with MOVEFILE_COPY_ALLOWED, is not
  // emulated.
  if (DriveOf(host_source) != DriveOf(host_target)) {
    return ERROR_NOT_SAME_DEVICE;
  }
  if (target_exists && target.st_dev == source.st_dev && target.st_ino == source.st_ino) {
    if (host_target == host_source) {
      return Respell(host_source, new_name);
    }
    // Two names of one file: the target's name goes, the file keeps the new one.
    if ((flags & MOVEFILE_REPLACE_EXISTING) == 0) {
      return ERROR_ALREADY_EXISTS;
    }
    if (unlink(host_target.c_str()) != 0) {
      return emu::ErrorFromErrno(errno, host_target);
    }
    target_exists = false;
  }
  if (S_ISDIR(source.st_mode)) {
    return MoveFolder(host_source, host_target, target_exists,
                      (flags & MOVEFILE_REPLACE_EXISTING) != 0);
  }
  return MoveFile(host_source, host_target, target_exists, target,
                  (flags & MOVEFILE_REPLACE_EXISTING) != 0);
}

}  // namespace

BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kMoveFileExA, lpExistingFileName);
      fault != 0) {
    return emu::Fail(fault);
  }
  DWORD result = Move(lpExistingFileName, lpNewFileName, dwFlags);
  return result == 0 ? TRUE : emu::Fail(result);
}

BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kMoveFileA, lpExistingFileName);
      fault != 0) {
    return emu::Fail(fault);
  }
  DWORD result = Move(lpExistingFileName, lpNewFileName, MOVEFILE_COPY_ALLOWED);
  return result == 0 ? TRUE : emu::Fail(result);
}
