// Opening, reading, writing, moving within and closing files, with Windows' dispositions,
// share modes and error codes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "support/windows_names.h"
#include "win32emu/faults/environment_faults.h"
#include "win32emu/faults/fault_points.h"
#include "win32emu/machine/folder_names.h"
#include "win32emu/machine/handle_table.h"
#include "win32emu/machine/machine.h"
#include "win32emu/machine/path_rules.h"
#include "win32emu/machine/share_locks.h"

namespace {

// What a handle that reads ahead takes from the file at a time.
constexpr size_t kReadAhead = 64 * 1024;

struct OpenFile : emu::HandleObject {
  int fd = -1;
  bool can_read = false;
  bool can_write = false;
  // Set for a handle on a plain file that reads and does not let others write, and whose
  // share marks hold: while it is open no other handle may change the file, so bytes read
  // ahead stay true. Small reads then cost one call per kReadAhead bytes. The handle's own
  // writes and moves drop what it read ahead.
  bool reads_ahead = false;
  std::unique_ptr<char[]> ahead;
  size_t ahead_at = 0;
  size_t ahead_end = 0;
  ~OpenFile() override {
    if (fd >= 0) {
      close(fd);
    }
  }
};

// Reads up to `wanted` bytes from the file's position, as read(2) does.
ssize_t ReadSome(OpenFile& file, char* into, size_t wanted) {
  if (!file.reads_ahead) {
    return read(file.fd, into, wanted);
  }
  if (file.ahead_at == file.ahead_end) {
    if (wanted >= kReadAhead) {
      return read(file.fd, into, wanted);
    }
    if (!file.ahead) {
      file.ahead.reset(new (std::nothrow) char[kReadAhead]);
      if (!file.ahead) {
        return read(file.fd, into, wanted);  // short of memory: the plain way still works
      }
    }
    ssize_t got = read(file.fd, file.ahead.get(), kReadAhead);
    if (got <= 0) {
      return got;
    }
    file.ahead_at = 0;
    file.ahead_end = static_cast<size_t>(got);
  }
  size_t taken = std::min(wanted, file.ahead_end - file.ahead_at);
  std::memcpy(into, file.ahead.get() + file.ahead_at, taken);
  file.ahead_at += taken;
  return static_cast<ssize_t>(taken);
}

// Drops the bytes read ahead and not yet taken, moving the file's position back to the first
// of them, where the handle's user stands. False, with errno set, when the move fails.
bool DropReadAhead(OpenFile& file) {
  size_t unread = file.ahead_end - file.ahead_at;
  file.ahead_at = file.ahead_end = 0;
  return unread == 0 || lseek(file.fd, -static_cast<off_t>(unread), SEEK_CUR) >= 0;
}

bool EndsWithSeparator(const char* path) {
  std::string_view text(path);
  return !text.empty() && (text.back() == '\\' || text.back() == '/');
}

HANDLE FailOpen(DWORD code) {
  SetLastError(code);
  return INVALID_HANDLE_VALUE;
}

// Windows refuses a name ending in '\' as a file: a folder by that name is "access denied",
// anything else an invalid name, unless the folder meant to hold it is missing.
DWORD TrailingSeparatorError(const std::string& host) {
  std::string bare = host;
  while (bare.size() > 1 && bare.back() == '/') {
    bare.pop_back();
  }
  struct stat info;
  if (stat(bare.c_str(), &info) == 0) {
    return S_ISDIR(info.st_mode) ? ERROR_ACCESS_DENIED : ERROR_INVALID_NAME;
  }
  DWORD missing = emu::ErrorFromErrno(errno, bare);
  return missing == ERROR_FILE_NOT_FOUND ? ERROR_INVALID_NAME : missing;
}

int OpenHost(const std::string& host, int flags, mode_t mode, bool write_only_fallback) {
  int fd;
  do {
    fd = open(host.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  // A writer opens read-write so that its descriptor can carry share marks; where the file
  // may only be written, it does without them.
  if (fd < 0 && errno == EACCES && write_only_fallback) {
    int write_only = (flags & ~O_ACCMODE) | O_WRONLY;
    do {
      fd = open(host.c_str(), write_only, mode);
    } while (fd < 0 && errno == EINTR);
  }
  return fd;
}

}  // namespace

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kCreateFileA, lpFileName); fault != 0) {
    return FailOpen(fault);
  }
  if (lpFileName == nullptr || lpFileName[0] == '\0') {
    return FailOpen(ERROR_PATH_NOT_FOUND);
  }
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    return FailOpen(ERROR_INVALID_PARAMETER);
  }
  if (DWORD refused = emu::CheckAnsiPath(lpFileName, windows_names::kLongestFilePath);
      refused != 0) {
    return FailOpen(refused);
  }
  std::string host = emu::HostPath(lpFileName);
  if (EndsWithSeparator(lpFileName)) {
    return FailOpen(TrailingSeparatorError(host));
  }
  emu::ShareClaim claim;
  claim.read = (dwDesiredAccess & (GENERIC_READ | GENERIC_ALL)) != 0;
  claim.write = (dwDesiredAccess & (GENERIC_WRITE | GENERIC_ALL)) != 0;
  claim.remove = (dwDesiredAccess & (DELETE | GENERIC_ALL)) != 0;
  claim.share = dwShareMode;

  // Without blocking, so that opening a pipe by that name cannot wait; the flag goes again
  // once the file is known to be no pipe.
  int flags = (claim.write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  bool write_only_fallback = claim.write && !claim.read;
  mode_t mode = (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
  bool existed = false;
  int fd = -1;
  switch (dwCreationDisposition) {
    case CREATE_NEW:
      fd = OpenHost(host, flags | O_CREAT | O_EXCL, mode, write_only_fallback);
      if (fd < 0 && errno == EEXIST) {
        return FailOpen(ERROR_FILE_EXISTS);
      }
      break;
    case OPEN_EXISTING:
    case TRUNCATE_EXISTING:
      fd = OpenHost(host, flags, 0, write_only_fallback);
      existed = true;
      break;
    default:  // CREATE_ALWAYS, OPEN_ALWAYS: open what is there, else create it
      for (;;) {
        fd = OpenHost(host, flags, 0, write_only_fallback);
        if (fd >= 0 || errno != ENOENT) {
          existed = true;
          break;
        }
        fd = OpenHost(host, flags | O_CREAT | O_EXCL, mode, write_only_fallback);
        if (fd >= 0 || errno != EEXIST) {
          break;
        }
        // Taken, yet not there to open: a link that leads nowhere. The file it names is made,
        // as the host would make it; any other name that was taken meanwhile opens next time.
        if (struct stat link; lstat(host.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
          fd = OpenHost(host, flags | O_CREAT, mode, write_only_fallback);
          break;
        }
      }
      break;
  }
  if (fd < 0) {
    return FailOpen(emu::ErrorFromErrno(errno, host));
  }
  if (!existed) {
    emu::NoteEntryMade(host);
  }
  auto file = std::make_unique<OpenFile>();
  file->fd = fd;
  file->can_read = claim.read;
  file->can_write = claim.write;
  file->subject = lpFileName;

  struct stat info;
  // A folder is no file; nor is a pipe, whose reads would wait for a writer that may never
  // come. Devices open, as Windows' own do.
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode) || S_ISFIFO(info.st_mode) ||
      S_ISSOCK(info.st_mode)) {
    return FailOpen(ERROR_ACCESS_DENIED);
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  // A file without any write permission is read-only in Windows' sense, even to a host
  // user whom the permissions do not bind.
  bool truncates = existed && (dwCreationDisposition == CREATE_ALWAYS ||
                               dwCreationDisposition == TRUNCATE_EXISTING);
  if (existed && (claim.write || truncates) && (info.st_mode & 0222) == 0) {
    return FailOpen(ERROR_ACCESS_DENIED);
  }
  bool marked = false;
  if (DWORD refused = emu::ClaimShare(fd, claim, &marked); refused != 0) {
    return FailOpen(refused);
  }
  file->reads_ahead =
      marked && S_ISREG(info.st_mode) && claim.read && (dwShareMode & FILE_SHARE_WRITE) == 0;
  // Only now, with the share check passed, may the old content go.
  if (truncates && ftruncate(fd, 0) != 0) {
    return FailOpen(emu::ErrorFromErrno(errno, host));
  }
  bool reports_existing =
      existed && (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS);
  HANDLE handle = emu::AddHandle(std::move(file));
  SetLastError(reports_existing ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  OpenFile* file = emu::FindHandleOf<OpenFile>(hFile);
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kReadFile,
                                       file != nullptr ? file->subject.c_str() : "");
      fault != 0) {
    return emu::Fail(fault);
  }
  if (lpNumberOfBytesRead != nullptr) {
    *lpNumberOfBytesRead = 0;
  }
  if (file == nullptr) {
    return emu::Fail(ERROR_INVALID_HANDLE);
  }
  if (lpOverlapped != nullptr || (lpBuffer == nullptr && nNumberOfBytesToRead > 0)) {
    return emu::Fail(ERROR_INVALID_PARAMETER);
  }
  if (!file->can_read) {
    return emu::Fail(ERROR_ACCESS_DENIED);
  }
  char* into = static_cast<char*>(lpBuffer);
  DWORD total = 0;
  while (total < nNumberOfBytesToRead) {
    ssize_t got = ReadSome(*file, into + total, nNumberOfBytesToRead - total);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      if (lpNumberOfBytesRead != nullptr) {
        *lpNumberOfBytesRead = total;
      }
      return emu::Fail(errno == EIO ? ERROR_READ_FAULT : emu::ErrorFromErrno(errno, ""));
    }
    if (got == 0) {
      break;
    }
    total += static_cast<DWORD>(got);
  }
  if (lpNumberOfBytesRead != nullptr) {
    *lpNumberOfBytesRead = total;
  }
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  OpenFile* file = emu::FindHandleOf<OpenFile>(hFile);
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kWriteFile,
                                       file != nullptr ? file->subject.c_str() : "");
      fault != 0) {
    return emu::Fail(fault);
  }
  emu::HalfwayKill halfway;
  if (lpNumberOfBytesWritten != nullptr) {
    *lpNumberOfBytesWritten = 0;
  }
  if (file == nullptr) {
    return emu::Fail(ERROR_INVALID_HANDLE);
  }
  if (lpOverlapped != nullptr || (lpBuffer == nullptr && nNumberOfBytesToWrite > 0)) {
    return emu::Fail(ERROR_INVALID_PARAMETER);
  }
  if (!file->can_write) {
    return emu::Fail(ERROR_ACCESS_DENIED);
  }
  if (!DropReadAhead(*file)) {
    return emu::Fail(emu::ErrorFromErrno(errno, ""));
  }
  const char* from = static_cast<const char*>(lpBuffer);
  const DWORD goal = halfway.Due()
                         ? static_cast<DWORD>(emu::HalfwayKill::Half(nNumberOfBytesToWrite))
                         : nNumberOfBytesToWrite;
  DWORD total = 0;
  while (total < goal) {
    ssize_t put = write(file->fd, from + total, goal - total);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      if (lpNumberOfBytesWritten != nullptr) {
        *lpNumberOfBytesWritten = total;
      }
      return emu::Fail(put == 0 ? ERROR_DISK_FULL : emu::ErrorFromErrno(errno, ""));
    }
    total += static_cast<DWORD>(put);
  }
  if (halfway.Due()) {
    halfway.Now();
  }
  if (lpNumberOfBytesWritten != nullptr) {
    *lpNumberOfBytesWritten = total;
  }
  return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                            DWORD dwMoveMethod) {
  OpenFile* file = emu::FindHandleOf<OpenFile>(hFile);
  auto fail = [](DWORD code) {
    emu::Fail(code);
    return INVALID_SET_FILE_POINTER;
  };
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kSetFilePointer,
                                       file != nullptr ? file->subject.c_str() : "");
      fault != 0) {
    return fail(fault);
  }
  if (file == nullptr) {
    return fail(ERROR_INVALID_HANDLE);
  }
  // With a high part the distance is the signed 64-bit number of both; without, the low part
  // alone, signed.
  std::int64_t distance = lDistanceToMove;
  if (lpDistanceToMoveHigh != nullptr) {
    distance = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(static_cast<DWORD>(*lpDistanceToMoveHigh)) << 32) |
        static_cast<DWORD>(lDistanceToMove));
  }
  if (dwMoveMethod > FILE_END) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  if (!DropReadAhead(*file)) {
    return fail(emu::ErrorFromErrno(errno, ""));
  }
  off_t base = 0;
  if (dwMoveMethod == FILE_CURRENT) {
    base = lseek(file->fd, 0, SEEK_CUR);
  } else if (dwMoveMethod == FILE_END) {
    struct stat info;
    base = fstat(file->fd, &info) == 0 ? info.st_size : -1;
  }
  if (base < 0) {
    return fail(emu::ErrorFromErrno(errno, ""));
  }
  off_t target = 0;
  if (__builtin_add_overflow(base, distance, &target)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  if (target < 0) {
    return fail(ERROR_NEGATIVE_SEEK);
  }
  if (lseek(file->fd, target, SEEK_SET) < 0) {
    return fail(emu::ErrorFromErrno(errno, ""));
  }
  if (lpDistanceToMoveHigh != nullptr) {
    *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<std::uint64_t>(target) >> 32);
  }
  // A position whose low part reads as the failure value is told apart by the last error.
  DWORD low = static_cast<DWORD>(target);
  if (low == INVALID_SET_FILE_POINTER) {
    SetLastError(NO_ERROR);
  }
  return low;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  emu::HandleObject* object = emu::FindHandle(hObject);
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kCloseHandle,
                                       object != nullptr ? object->subject.c_str() : "");
      fault != 0) {
    return emu::Fail(fault);
  }
  // The pseudo handles of the current process (-1) and thread (-2) close without effect.
  auto value = reinterpret_cast<LONG_PTR>(hObject);
  if (value == -1 || value == -2) {
    return TRUE;
  }
  if (emu::RemoveHandle(hObject) == nullptr) {
    return emu::Fail(ERROR_INVALID_HANDLE);
  }
  return TRUE;
}
