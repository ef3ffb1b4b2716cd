#include "win32emu/machine/share_locks.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "win32emu/machine/machine.h"

namespace emu {
namespace {

// Far past any file size that Windows' 32-bit programs write, and below the largest offset.
constexpr off_t kMarkBase = static_cast<off_t>(0x7FFFFFFF00000000LL);

// In this order, the marks of the two commonest opens, reading while sharing only reading and
// writing while sharing nothing, are one run each, as are the marks that conflict with the
// first: two lock calls for each open of a file that no other handle holds.
enum Mark : off_t {
  kHasRead = 0,
  kDeniesDelete = 1,
  kDeniesWrite = 2,
  kDeniesRead = 3,
  kHasWrite = 4,
  kHasDelete = 5,
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

// The host's answer to a lock that another open description's lock stands against.
bool LockRefused(int err) {
  return err == EAGAIN || err == EACCES;
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

// The inode numbers of the files that some open description marks with `mark`, from the
// host's list of locks; false when the list cannot be read. The numbers only point where to
// look: a file is judged by its own marks.
bool InodesMarked(off_t mark, std::unordered_set<unsigned long long>& inodes) {
  FILE* list = std::fopen("/proc/locks", "re");
  if (list == nullptr) {
    return false;
  }
  const unsigned long long wanted = static_cast<unsigned long long>(kMarkBase + mark);
  char line[256];
  while (std::fgets(line, sizeof line, list) != nullptr) {
    // "1: OFDLCK ADVISORY READ -1 fe:00:10952898 9223372032559808514 9223372032559808514";
    // waiting locks have "->" after the number and are not held.
    char kind[16];
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0, start = 0;
    char end[24];
    if (std::strstr(line, "->") != nullptr ||
        std::sscanf(line, "%*u: %15s %*s %*s %*s %x:%x:%llu %llu %23s", kind, &major, &minor,
                    &inode, &start, end) != 6 ||
        std::strcmp(kind, "OFDLCK") != 0) {
      continue;
    }
    unsigned long long last =
        std::strcmp(end, "EOF") == 0 ? ~0ULL : std::strtoull(end, nullptr, 10);
    if (start <= wanted && wanted <= last) {
      inodes.insert(inode);
    }
  }
  std::fclose(list);
  return true;
}

// True when a file in `folder` (a path without a trailing '/'), at any depth, is one of
// `inodes` (every file, where `inodes` is null) and another handle of it denies deletion.
bool HeldFileIn(const std::string& folder, const std::unordered_set<unsigned long long>* inodes) {
  DIR* stream = opendir(folder.c_str());
  if (stream == nullptr) {
    return false;
  }
  std::vector<std::string> folders;
  bool held = false;
  while (const dirent* entry = readdir(stream)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    std::string path = folder + "/" + name;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat info;
      type = lstat(path.c_str(), &info) != 0 ? DT_UNKNOWN
             : S_ISDIR(info.st_mode)         ? DT_DIR
             : S_ISREG(info.st_mode)         ? DT_REG
                                             : DT_UNKNOWN;
    }
    if (type == DT_DIR) {
      folders.push_back(std::move(path));
    } else if (type == DT_REG && (inodes == nullptr || inodes->count(entry->d_ino) != 0)) {
      int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
      held = fd >= 0 && OthersHold(fd, kDeniesDelete, 1);
      if (fd >= 0) {
        close(fd);
      }
      if (held) {
        break;
      }
    }
  }
  closedir(stream);
  for (size_t at = 0; !held && at < folders.size(); ++at) {
    held = HeldFileIn(folders[at], inodes);
  }
  return held;
}

}  // namespace

bool OthersHoldIt(int fd) {
  return OthersHold(fd, kHasRead, 1) || OthersHold(fd, kHasWrite, 2);
}

bool FileInsideDeniesDeletion(const std::string& folder) {
  const std::string bare = WithoutTrailingSlashes(folder);
  // Most folders hold no file that anyone holds: the host's list of locks says which files to
  // look at, so that a folder of many files costs a listing of each of its folders and no
  // opens. Without the list every file is looked at.
  std::unordered_set<unsigned long long> inodes;
  if (!InodesMarked(kDeniesDelete, inodes)) {
    return HeldFileIn(bare, nullptr);
  }
  return !inodes.empty() && HeldFileIn(bare, &inodes);
}

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
      {claim.read, kHasRead},      {!shares_delete, kDeniesDelete}, {!shares_write, kDeniesWrite},
      {!shares_read, kDeniesRead}, {claim.write, kHasWrite},        {claim.remove, kHasDelete},
  };
  // An open that shares nothing conflicts with every other that counts, since each holds one
  // of the marks of access at least: one write lock over every mark claims the file and checks
  // the others at once, the host granting it only where no other open holds a mark. To others
  // it shows as every mark held, which judges them as its own marks would.
  if (claim.share == 0 && claim.read_write) {
    struct flock lock = MarkLock(F_WRLCK, 0, kMarkCount);
    if (fcntl(fd, F_OFD_SETLK, &lock) == 0) {
      if (marked != nullptr) {
        *marked = true;
      }
      return 0;
    }
    if (LockRefused(errno)) {
      return ERROR_SHARING_VIOLATION;
    }
  }
  MarkRun runs[kMarkCount];
  for (size_t at = 0, count = Runs(own, runs); at < count; ++at) {
    if (!SetMarks(fd, runs[at].first, runs[at].count)) {
      // Refused where an open that shares nothing holds the file; else this descriptor
      // cannot hold the marks, and is not judged.
      const bool refused = LockRefused(errno);
      DropMarks(fd);
      return refused ? ERROR_SHARING_VIOLATION : 0;
    }
  }
  const Wanted conflicts[] = {
      {!shares_read, kHasRead},  {claim.remove, kDeniesDelete}, {claim.write, kDeniesWrite},
      {claim.read, kDeniesRead}, {!shares_write, kHasWrite},    {!shares_delete, kHasDelete},
  };
  const size_t count = Runs(conflicts, runs);
  // Most files no other handle holds: where the conflicts are more than one run, one look over
  // every mark finds nothing, and only a file that others hold is judged run by run.
  const bool held = count < 2 || OthersHold(fd, 0, kMarkCount);
  for (size_t at = 0; held && at < count; ++at) {
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
