#include "platform/share_locks.h"

#include <fcntl.h>
#include <sys/types.h>

namespace emu {
namespace {

// Far past any file size that Windows' 32-bit programs write, and below the largest offset.
constexpr off_t kMarkBase = static_cast<off_t>(0x7FFFFFFF00000000LL);

enum Mark : off_t {
  kHasRead = 0,
  kHasWrite = 1,
  kHasDelete = 2,
  kDeniesRead = 3,
  kDeniesWrite = 4,
  kDeniesDelete = 5,
  kMarkCount = 6,
};

struct flock MarkLock(short type, off_t mark, off_t length) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = kMarkBase + mark;
  lock.l_len = length;
  lock.l_pid = 0;
  return lock;
}

bool SetMark(int fd, off_t mark) {
  struct flock lock = MarkLock(F_RDLCK, mark, 1);
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// True when another open description holds `mark`. Our own marks never show here.
bool OthersHold(int fd, off_t mark) {
  struct flock lock = MarkLock(F_WRLCK, mark, 1);
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) {
    return false;
  }
  return lock.l_type != F_UNLCK;
}

void DropMarks(int fd) {
  struct flock lock = MarkLock(F_UNLCK, 0, kMarkCount);
  fcntl(fd, F_OFD_SETLK, &lock);
}

}  // namespace

DWORD ClaimShare(int fd, const ShareClaim& claim) {
  // As on Windows, an open for none of read, write and delete neither is judged nor counts.
  if (!claim.read && !claim.write && !claim.remove) {
    return 0;
  }
  bool shares_read = (claim.share & FILE_SHARE_READ) != 0;
  bool shares_write = (claim.share & FILE_SHARE_WRITE) != 0;
  bool shares_delete = (claim.share & FILE_SHARE_DELETE) != 0;
  struct Wanted {
    bool wanted;
    off_t mark;
  };
  const Wanted own[] = {
      {claim.read, kHasRead},      {claim.write, kHasWrite},      {claim.remove, kHasDelete},
      {!shares_read, kDeniesRead}, {!shares_write, kDeniesWrite}, {!shares_delete, kDeniesDelete},
  };
  // Marks first, checks after: of two racing opens the later check sees the other's marks.
  for (const Wanted& mark : own) {
    if (mark.wanted && !SetMark(fd, mark.mark)) {
      DropMarks(fd);
      return 0;
    }
  }
  const Wanted conflicts[] = {
      {claim.read, kDeniesRead}, {claim.write, kDeniesWrite}, {claim.remove, kDeniesDelete},
      {!shares_read, kHasRead},  {!shares_write, kHasWrite},  {!shares_delete, kHasDelete},
  };
  for (const Wanted& conflict : conflicts) {
    if (conflict.wanted && OthersHold(fd, conflict.mark)) {
      DropMarks(fd);
      return ERROR_SHARING_VIOLATION;
    }
  }
  return 0;
}

}  // namespace emu
