#include "win32emu/machine/share_locks.h"

#include <fcntl.h>
#include <sys/types.h>

namespace emu {
namespace {

// Far past any file size that Windows' 32-bit programs write, and below the largest offset.
constexpr off_t kMarkBase = static_cast<off_t>(0x7FFFFFFF00000000LL);

// In this order, the marks of the commonest open, reading while sharing only reading, are
// one run, and the marks that conflict with it another: two lock calls for it in all.
enum Mark : off_t {
  kHasRead = 0,
  kDeniesWrite = 1,
  kDeniesDelete = 2,
  kHasWrite = 3,
  kHasDelete = 4,
  kDeniesRead = 5,
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

// Marks `fd` with the marks [mark, mark + count): one lock call for a run of marks.
bool SetMarks(int fd, off_t mark, off_t count) {
  struct flock lock = MarkLock(F_RDLCK, mark, count);
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// True when another open description holds any of the marks [mark, mark + count). Our own
// marks never show here.
bool OthersHold(int fd, off_t mark, off_t count) {
  struct flock lock = MarkLock(F_WRLCK, mark, count);
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) {
    return false;
  }
  return lock.l_type != F_UNLCK;
}

// The runs of consecutive wanted marks, in order, as [first, first + count).
struct MarkRun {
  off_t first;
  off_t count;
};

template <typename Wanted, size_t N>
size_t Runs(const Wanted (&marks)[N], MarkRun (&runs)[N]) {
  size_t found = 0;
  for (const Wanted& mark : marks) {
    if (!mark.wanted) {
      continue;
    }
    if (found > 0 && runs[found - 1].first + runs[found - 1].count == mark.mark) {
      ++runs[found - 1].count;
    } else {
      runs[found++] = {mark.mark, 1};
    }
  }
  return found;
}

void DropMarks(int fd) {
  struct flock lock = MarkLock(F_UNLCK, 0, kMarkCount);
  fcntl(fd, F_OFD_SETLK, &lock);
}

}  // namespace

DWORD ClaimShare(int fd, const ShareClaim& claim, bool* marked) {
  if (marked != nullptr) {
    *marked = false;
  }
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
  // Marks first, checks after: of two racing opens the later check sees the other's marks.
  // Both lists are in the order of the marks, so that neighbours join in runs: one lock call
  // a run.
  const Wanted own[] = {
      {claim.read, kHasRead},   {!shares_write, kDeniesWrite}, {!shares_delete, kDeniesDelete},
      {claim.write, kHasWrite}, {claim.remove, kHasDelete},    {!shares_read, kDeniesRead},
  };
  MarkRun runs[kMarkCount];
  for (size_t at = 0, count = Runs(own, runs); at < count; ++at) {
    if (!SetMarks(fd, runs[at].first, runs[at].count)) {
      DropMarks(fd);
      return 0;
    }
  }
  const Wanted conflicts[] = {
      {!shares_read, kHasRead},   {claim.write, kDeniesWrite},  {claim.remove, kDeniesDelete},
      {!shares_write, kHasWrite}, {!shares_delete, kHasDelete}, {claim.read, kDeniesRead},
  };
  for (size_t at = 0, count = Runs(conflicts, runs); at < count; ++at) {
    if (OthersHold(fd, runs[at].first, runs[at].count)) {
      DropMarks(fd);
      return ERROR_SHARING_VIOLATION;
    }
  }
  if (marked != nullptr) {
    *marked = true;
  }
  return 0;
}

}  // namespace emu
