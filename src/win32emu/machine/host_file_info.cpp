#include "win32emu/machine/host_file_info.h"

#include <fcntl.h>
#include <unistd.h>

namespace emu {

FILETIME FileTimeFromHost(const struct timespec& time) {
  constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;
  std::int64_t ticks =
      (static_cast<std::int64_t>(time.tv_sec) + kSecondsFrom1601To1970) * 10'000'000 +
      time.tv_nsec / 100;
  if (ticks < 0) {
    ticks = 0;
  }
  auto value = static_cast<std::uint64_t>(ticks);
  return FILETIME{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
}

bool HostFileIsReadOnly(const struct stat& info, int folder_fd, const char* name) {
  if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    return true;
  }
  // The common cases need no further system call: the owner's write bit decides for the
  // owner, and the superuser may write anything that has a write bit at all.
  static const uid_t me = geteuid();  // the emulated machine never changes its user
  if (me == 0 || (info.st_uid == me && (info.st_mode & S_IWUSR) != 0)) {
    return false;
  }
  return faccessat(folder_fd, name, W_OK, AT_EACCESS) != 0;
}

DWORD AttributesFromHost(const struct stat& info, std::string_view name, bool read_only) {
  DWORD attributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (read_only && !S_ISDIR(info.st_mode)) {
    attributes |= FILE_ATTRIBUTE_READONLY;
  }
  if (name.size() > 1 && name.front() == '.' && name != "..") {
    attributes |= FILE_ATTRIBUTE_HIDDEN;
  }
  return attributes;
}

}  // namespace emu
