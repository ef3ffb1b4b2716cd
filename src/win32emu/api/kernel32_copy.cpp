// CopyFileA and DeleteFileA. A copy writes straight under the target's name, as Windows' does:
// to a free name it creates the target, over an existing file it empties that file and writes
// it again. A process killed during a copy leaves the target partial under its name; a copy
// that fails once the target is open takes the target away, as Windows does. The bytes are
// copied by the kernel.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/windows_names.h"
#include "win32emu/faults/environment_faults.h"
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

// The permission bits a file made by this process gets: the process's umask, read once.
mode_t CreationMask() {
  static const mode_t mask = [] {
    mode_t found = 022;
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
      char line[128];
      while (std::fgets(line, sizeof line, status) != nullptr) {
        unsigned value = 0;
        if (std::sscanf(line, "Umask: %o", &value) == 1) {
          found = static_cast<mode_t>(value);
          break;
        }
      }
      std::fclose(status);
    }
    return found;
  }();
  return mask;
}

// The target, open for the copy: made new, or the existing file that has the name.
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
  bool made = false;  // the copy made the file; else it was there and is written again
  struct stat info {};
};

// The checks Windows makes on an existing target before it writes it. 0 when it may.
DWORD ExistingTargetRefusal(const std::string& host_target, const struct stat& target,
                            const struct stat& source) {
  if (target.st_dev == source.st_dev && target.st_ino == source.st_ino) {
    return ERROR_SHARING_VIOLATION;  // the source is open for reading, unshared for writing
  }
  if (!S_ISREG(target.st_mode) || emu::HostFileIsReadOnly(target, AT_FDCWD, host_target.c_str())) {
    return ERROR_ACCESS_DENIED;
  }
  return 0;
}

// Opens the file that has the target's name, for writing it again. 0, or the Win32 code of
// the refusal; ERROR_FILE_NOT_FOUND when the name went meanwhile.
DWORD OpenExistingTarget(const std::string& host_target, const struct stat& source,
                         Target& target) {
  target.fd = open(host_target.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (target.fd < 0) {
    int err = errno;
    struct stat there;
    if (err == ENOENT) {
      return ERROR_FILE_NOT_FOUND;
    }
    if (stat(host_target.c_str(), &there) == 0) {
      DWORD refused = ExistingTargetRefusal(host_target, there, source);
      return refused != 0 ? refused : ERROR_ACCESS_DENIED;  // there, but not for us to write
    }
    return emu::ErrorFromErrno(err, host_target);
  }
  if (fstat(target.fd, &target.info) != 0) {
    return emu::ErrorFromErrno(errno, host_target);
  }
  return ExistingTargetRefusal(host_target, target.info, source);
}

// Opens the target as Windows' copy does: a free name is created, an existing file (unless
// `fail_if_exists`) is opened for writing, each for GENERIC_WRITE without sharing, so that
// no other open reads or writes a target being written. An existing file is emptied only
// once that is granted. 0, or the Win32 code of the failure.
DWORD OpenTarget(const std::string& host_target, const struct stat& source, bool fail_if_exists,
                 Target& target) {
  for (int attempt = 0;; ++attempt) {
    target.fd = open(host_target.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                     source.st_mode & 0777);
    if (target.fd >= 0) {
      target.made = true;
      emu::NoteEntryMade(host_target);
      break;
    }
    if (errno != EEXIST) {
      return emu::ErrorFromErrno(errno, host_target);
    }
    if (fail_if_exists) {
      return ERROR_FILE_EXISTS;
    }
    DWORD refused = OpenExistingTarget(host_target, source, target);
    if (refused == ERROR_FILE_NOT_FOUND && attempt == 0) {
      continue;  // deleted between the two opens: the name is free again
    }
    // Taken, yet not there to open: a link that leads nowhere. The file it names is made, as
    // the host would make it.
    if (struct stat link; refused == ERROR_FILE_NOT_FOUND &&
                          lstat(host_target.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      target.fd =
          open(host_target.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, source.st_mode & 0777);
      if (target.fd < 0) {
        return emu::ErrorFromErrno(errno, host_target);
      }
      target.made = true;
      break;
    }
    if (refused != 0) {
      return refused;
    }
    break;
  }
  if (!target.made) {  // an existing file is opened without waiting, a new one is not
    fcntl(target.fd, F_SETFL, fcntl(target.fd, F_GETFL) & ~O_NONBLOCK);
  }
  if (DWORD refused = emu::ClaimShare(target.fd, {.write = true, .share = 0, .read_write = true});
      refused != 0) {
    return refused;
  }
  if (!target.made && ftruncate(target.fd, 0) != 0) {
    return emu::ErrorFromErrno(errno, host_target);
  }
  return 0;
}

// Writes the source's bytes, last-write time and permission bits into the open target. With
// a kill due halfway, the process ends after the first half of the bytes. 0, or the host
// error.
int WriteCopy(int source_fd, const struct stat& source, Target& target, emu::HalfwayKill& halfway) {
  if (halfway.Due()) {
    CopyBytes(source_fd, target.fd,
              static_cast<off_t>(emu::HalfwayKill::Half(static_cast<size_t>(source.st_size))));
    halfway.Now();
  }
  int err = CopyBytes(source_fd, target.fd, source.st_size);
  if (err == 0) {
    const struct timespec times[2] = {{0, UTIME_OMIT}, source.st_mtim};
    err = futimens(target.fd, times) == 0 ? 0 : errno;
  }
  // A file written again carries the source's bits as a new copy gets them.
  mode_t bits = source.st_mode & 0777 & ~CreationMask();
  if (err == 0 && !target.made && (target.info.st_mode & 0777) != bits) {
    err = fchmod(target.fd, bits) == 0 ? 0 : errno;
  }
  return err;
}

// Copies the source open as `source_fd` to `host_target`. 0, or the Win32 code of the
// failure; a target that was opened and could not be written whole is taken away.
DWORD CopyToTarget(int source_fd, const struct stat& source, const std::string& host_target,
                   bool fail_if_exists, emu::HalfwayKill& halfway) {
  Target target;
  DWORD refused = OpenTarget(host_target, source, fail_if_exists, target);
  int err = 0;
  if (refused == 0) {
    err = WriteCopy(source_fd, source, target, halfway);
    int closing = target.fd;
    target.fd = -1;
    if (close(closing) != 0 && err == 0) {
      err = errno;
    }
    if (err == 0) {
      return 0;
    }
  } else if (!target.made) {
    return refused;  // an existing file that may not be written stays as it was
  }
  unlink(host_target.c_str());
  emu::NoteEntryRemoved(host_target);
  return refused != 0 ? refused : emu::ErrorFromErrno(err, host_target);
}

}  // namespace

BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kCopyFileA, lpExistingFileName);
      fault != 0) {
    return emu::Fail(fault);
  }
  emu::HalfwayKill halfway;
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
  if (source_fd < 0) {
    return emu::Fail(emu::ErrorFromErrno(errno, host_source));
  }
  struct stat source;
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
    const std::string host_target = emu::HostPathOfNewName(lpNewFileName);
    result = CopyToTarget(source_fd, source, host_target, bFailIfExists != FALSE, halfway);
    // The memory of the target's folder had the folder still there; the full lookup tells
    // where the path leads now.
    if (result == ERROR_PATH_NOT_FOUND) {
      if (std::string resolved = emu::HostPath(lpNewFileName); resolved != host_target) {
        result = CopyToTarget(source_fd, source, resolved, bFailIfExists != FALSE, halfway);
      }
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
