// CopyFileA and DeleteFileA. A copy over an existing file is written beside it under a
// temporary name and renamed over it only once complete, so that a failed copy leaves the file
// that was there untouched. A copy to a free name is written into a nameless file in the
// target's folder, which takes the name once complete: no rename, and nothing left behind by a
// copy that fails or is killed. The bytes are copied by the kernel.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "support/windows_names.h"
#include "win32emu/faults/fault_points.h"
#include "win32emu/machine/folder_names.h"
#include "win32emu/machine/host_file_info.h"
#include "win32emu/machine/machine.h"
#include "win32emu/machine/path_rules.h"
#include "win32emu/machine/share_locks.h"

namespace {

constexpr size_t kCopyChunk = 256 * 1024;
constexpr size_t kKernelCopyLimit = size_t{1} << 30;

// The kernel refuses the faster way between these two files; a slower way still works.
bool WayUnsupported(int err) {
  return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP;
}

// Copies `from` to `to` from their current offsets until `size` bytes are copied or `from`
// ends. Returns 0, or the host error.
int CopyBytes(int from, int to, off_t size) {
  enum class Way { kCopyRange, kSendfile, kReadWrite } way = Way::kCopyRange;
  std::vector<char> buffer;
  off_t copied = 0;
  while (copied < size) {
    size_t wanted = static_cast<size_t>(size - copied);
    ssize_t moved = -1;
    if (way == Way::kCopyRange) {
      moved = copy_file_range(from, nullptr, to, nullptr, std::min(wanted, kKernelCopyLimit), 0);
      if (moved < 0 && WayUnsupported(errno)) {
        way = Way::kSendfile;
        continue;
      }
    } else if (way == Way::kSendfile) {
      moved = sendfile(to, from, nullptr, std::min(wanted, kKernelCopyLimit));
      if (moved < 0 && WayUnsupported(errno)) {
        way = Way::kReadWrite;
        continue;
      }
    } else {
      buffer.resize(kCopyChunk);
      moved = read(from, buffer.data(), std::min(wanted, kCopyChunk));
      for (ssize_t written = 0; moved > 0 && written < moved;) {
        ssize_t step = write(to, buffer.data() + written, static_cast<size_t>(moved - written));
        if (step < 0 && errno != EINTR) {
          return errno;
        }
        written += step > 0 ? step : 0;
      }
    }
    if (moved < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    if (moved == 0) {
      break;  // the source is shorter than it was
    }
    copied += moved;
  }
  return 0;
}

// A name for the copy in progress, in the target's folder. Fixed in length, so that a target
// name of any length leaves room for it; starting with '.', so that listings show it hidden.
std::string TemporaryPathBeside(const std::string& host_target) {
  static std::atomic<unsigned> counter{0};
  size_t slash = host_target.rfind('/');
  std::string folder = slash == std::string::npos ? "" : host_target.substr(0, slash + 1);
  char name[64];
  std::snprintf(name, sizeof name, ".~copy-%ld-%u", static_cast<long>(getpid()),
                counter.fetch_add(1));
  return folder + name;
}

// Moves the finished copy to the target's name; with `keep_existing`, never over a file that
// appeared there meanwhile.
int PutInPlace(const std::string& temporary, const std::string& target, bool keep_existing) {
  if (!keep_existing) {
    return rename(temporary.c_str(), target.c_str()) == 0 ? 0 : errno;
  }
  if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return errno;
  }
  if (link(temporary.c_str(), target.c_str()) != 0) {
    return errno;
  }
  unlink(temporary.c_str());
  return 0;
}

// The target as it is before the copy: open to ask about its share modes when it exists and
// this process can open it.
struct Target {
  Target() = default;
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;
  ~Target() {
    if (fd >= 0) {
      close(fd);
    }
  }
  int fd = -1;
  bool exists = false;
  struct stat info {};
};

// One open finds out whether the target exists, describes it and serves its share check.
void LookAtTarget(const std::string& host_target, Target& target) {
  target.fd = open(host_target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (target.fd >= 0) {
    target.exists = fstat(target.fd, &target.info) == 0;
  } else if (errno != ENOENT && errno != ENOTDIR) {
    target.exists = stat(host_target.c_str(), &target.info) == 0;  // there, but not for us
  }
}

// The checks Windows makes on an existing target before replacing it. 0 when it may be.
DWORD TargetRefusal(const std::string& host_target, const Target& existing,
                    const struct stat& source, bool fail_if_exists) {
  if (!existing.exists) {
    return 0;  // no target yet; a missing folder shows when the copy is created
  }
  const struct stat& target = existing.info;
  if (fail_if_exists) {
    return ERROR_FILE_EXISTS;
  }
  if (target.st_dev == source.st_dev && target.st_ino == source.st_ino) {
    return ERROR_SHARING_VIOLATION;  // the source is open for reading, unshared for writing
  }
  if (S_ISDIR(target.st_mode) || emu::HostFileIsReadOnly(target, AT_FDCWD, host_target.c_str())) {
    return ERROR_ACCESS_DENIED;
  }
  return 0;
}

// Share modes: an existing target is replaced as an open for GENERIC_WRITE without sharing
// would replace it. Its marks last as long as `target`, that is until the copy has taken its
// place, so that no open made meanwhile writes into the file about to be replaced. 0 when no
// other open forbids the copy.
DWORD SharingRefusal(const Target& target) {
  if (target.fd < 0) {
    return 0;  // no target yet, or none this process could open to ask about
  }
  return emu::ClaimShare(target.fd, {.write = true, .share = 0});
}

// Copies the source's bytes and last-write time into the copy open as `copy_fd`, leaving it
// open. 0, or the host error.
int WriteCopy(int source_fd, const struct stat& source, int copy_fd) {
  int err = CopyBytes(source_fd, copy_fd, source.st_size);
  if (err == 0) {
    const struct timespec times[2] = {{0, UTIME_OMIT}, source.st_mtim};
    err = futimens(copy_fd, times) == 0 ? 0 : errno;
  }
  return err;
}

// The result of a copy to a free name that has to go the temporary's way after all.
constexpr DWORD kTakeTemporaryWay = 0xFFFFFFFF;

// Gives the nameless file open as `fd` the name `host_target`; 0, or the host error.
int NameFile(int fd, const std::string& host_target) {
  if (linkat(fd, "", AT_FDCWD, host_target.c_str(), AT_EMPTY_PATH) == 0) {
    return 0;
  }
  if (errno != ENOENT && errno != EPERM) {
    return errno;
  }
  // Without the right to link by descriptor, the same file through /proc.
  char by_path[64];
  std::snprintf(by_path, sizeof by_path, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, by_path, AT_FDCWD, host_target.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0
                                                                                          : errno;
}

// Copies to the target through a nameless file in its folder that gets the target's name once
// complete, never over a file that has the name. 0, kTakeTemporaryWay where the host makes no
// nameless files or the name is taken, or the Win32 code of the failure. A `tentative` copy,
// made before anyone looked at the target, gives kTakeTemporaryWay for any failure, so that
// the checks on an existing target come first as ever.
DWORD CopyToFreeName(int source_fd, const struct stat& source, const std::string& host_target,
                     bool tentative) {
  size_t slash = host_target.rfind('/');
  std::string folder = slash == std::string::npos ? "." : host_target.substr(0, slash + 1);
  int copy_fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, source.st_mode & 0777);
  if (copy_fd < 0) {
    return kTakeTemporaryWay;  // whatever the reason, that way tells it as before
  }
  int err = WriteCopy(source_fd, source, copy_fd);
  if (err == 0) {
    err = NameFile(copy_fd, host_target);
  }
  if (err != 0 &&
      (tentative || err == EEXIST || err == ENOENT || err == EOPNOTSUPP || err == EXDEV)) {
    close(copy_fd);
    return lseek(source_fd, 0, SEEK_SET) == 0 ? kTakeTemporaryWay
                                              : emu::ErrorFromErrno(errno, host_target);
  }
  if (close(copy_fd) != 0 && err == 0) {
    err = errno;
    unlink(host_target.c_str());
  }
  return err == 0 ? 0 : emu::ErrorFromErrno(err, host_target);
}

// Writes the source's bytes and last-write time into a new temporary file beside the target
// and renames it over the target. 0, or the Win32 code of the failure.
DWORD CopyThroughTemporary(int source_fd, const struct stat& source, const std::string& host_target,
                           bool fail_if_exists) {
  std::string temporary;
  int copy_fd = -1;
  do {
    temporary = TemporaryPathBeside(host_target);
    copy_fd =
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, source.st_mode & 0777);
  } while (copy_fd < 0 && errno == EEXIST);
  if (copy_fd < 0) {
    return emu::ErrorFromErrno(errno, host_target);
  }
  int err = WriteCopy(source_fd, source, copy_fd);
  if (close(copy_fd) != 0 && err == 0) {
    err = errno;
  }
  if (err == 0) {
    err = PutInPlace(temporary, host_target, fail_if_exists);
    if (err == EEXIST) {
      unlink(temporary.c_str());
      return ERROR_FILE_EXISTS;
    }
  }
  if (err != 0) {
    unlink(temporary.c_str());
    return emu::ErrorFromErrno(err, host_target);
  }
  return 0;
}

}  // namespace

BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kCopyFileA, lpExistingFileName);
      fault != 0) {
    return emu::Fail(fault);
  }
  if (lpExistingFileName == nullptr || lpNewFileName == nullptr) {
    return emu::Fail(ERROR_INVALID_PARAMETER);
  }
  if (lpExistingFileName[0] == '\0' || lpNewFileName[0] == '\0') {
    return emu::Fail(ERROR_PATH_NOT_FOUND);  // as for any other call given an empty name
  }
  for (LPCSTR path : {lpExistingFileName, lpNewFileName}) {
    if (DWORD refused = emu::CheckAnsiPath(path, windows_names::kLongestFilePath); refused != 0) {
      return emu::Fail(refused);
    }
  }
  // The source most often exists as spelled: the case-blind lookup only when not.
  std::string host_source = emu::HostPathAsSpelled(lpExistingFileName);
  int source_fd = open(host_source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (source_fd < 0 && emu::MissedAsSpelled(errno)) {
    host_source = emu::HostPath(lpExistingFileName);
    source_fd = open(host_source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  }
  std::string host_target = emu::HostPath(lpNewFileName);
  if (source_fd < 0) {
    return emu::Fail(emu::ErrorFromErrno(errno, host_source));
  }
  struct stat source;
  Target target;
  DWORD result = 0;
  if (fstat(source_fd, &source) != 0) {
    result = emu::ErrorFromErrno(errno, host_source);
  } else if (!S_ISREG(source.st_mode)) {
    result = ERROR_ACCESS_DENIED;
  } else {
    // The source is read as an open for GENERIC_READ with FILE_SHARE_READ would read it; its
    // marks last as long as `source_fd`. As on Windows, a source that may not be read so
    // refuses the copy before anything is asked of the target.
    result = emu::ClaimShare(source_fd, {.read = true, .share = FILE_SHARE_READ});
  }
  if (result == 0) {
    // Most copies go to a free name, which needs no look at the target first: the name being
    // taken shows only when the finished copy is to get it, and the checks below follow then.
    result = CopyToFreeName(source_fd, source, host_target, true);
    if (result != kTakeTemporaryWay) {
      close(source_fd);  // copied, or the source could not be read from its start again
      if (result == 0) {
        emu::NoteEntryMade(host_target);
      }
      return result == 0 ? TRUE : emu::Fail(result);
    }
    result = 0;
  }
  if (result == 0) {
    LookAtTarget(host_target, target);
    result = TargetRefusal(host_target, target, source, bFailIfExists != FALSE);
  }
  if (result == 0) {
    result = SharingRefusal(target);
  }
  if (result == 0 && !target.exists) {
    result = CopyToFreeName(source_fd, source, host_target, false);
    if (result == kTakeTemporaryWay) {
      result = 0;  // the temporary's way decides, as for any existing target
    } else {
      close(source_fd);
      if (result == 0) {
        emu::NoteEntryMade(host_target);
      }
      return result == 0 ? TRUE : emu::Fail(result);
    }
  }
  if (result == 0) {
    result = CopyThroughTemporary(source_fd, source, host_target, bFailIfExists != FALSE);
    if (result == 0) {
      emu::NoteEntryMade(host_target);
    }
  }
  close(source_fd);
  return result == 0 ? TRUE : emu::Fail(result);
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kDeleteFileA, lpFileName); fault != 0) {
    return emu::Fail(fault);
  }
  if (lpFileName == nullptr) {
    return emu::Fail(ERROR_INVALID_PARAMETER);
  }
  if (lpFileName[0] == '\0') {
    return emu::Fail(ERROR_PATH_NOT_FOUND);
  }
  if (DWORD refused = emu::CheckAnsiPath(lpFileName, windows_names::kLongestFilePath);
      refused != 0) {
    return emu::Fail(refused);
  }
  std::string host_path = emu::HostPath(lpFileName);
  struct stat info;
  if (lstat(host_path.c_str(), &info) != 0) {
    return emu::Fail(emu::ErrorFromErrno(errno, host_path));
  }
  // Windows refuses to delete a folder, a link to a folder, and a file with the read-only
  // attribute, whatever the rights on the folder that holds it.
  struct stat led_to;
  if (S_ISDIR(info.st_mode) ||
      (S_ISLNK(info.st_mode) && stat(host_path.c_str(), &led_to) == 0 && S_ISDIR(led_to.st_mode)) ||
      (!S_ISLNK(info.st_mode) && emu::HostFileIsReadOnly(info, AT_FDCWD, host_path.c_str()))) {
    return emu::Fail(ERROR_ACCESS_DENIED);
  }
  // Deleting opens the file for DELETE access, sharing everything: only an open that does not
  // share deletion stands in the way. A link is deleted as a name of its own: what it leads
  // to is not opened, and its opens do not count.
  // The marks stay until the name is gone, so that no open made meanwhile that forbids
  // deletion finds its file deleted after all.
  int fd = open(host_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd >= 0) {
    DWORD refused = emu::ClaimShare(
        fd, {.remove = true, .share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE});
    if (refused != 0) {
      close(fd);
      return emu::Fail(refused);
    }
  }
  int removed = unlink(host_path.c_str());
  int err = errno;
  if (fd >= 0) {
    close(fd);
  }
  if (removed != 0) {
    return emu::Fail(emu::ErrorFromErrno(err, host_path));
  }
  emu::NoteEntryRemoved(host_path);
  return TRUE;
}
