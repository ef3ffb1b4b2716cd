#include "check/folder_identity.h"

#include "platform/platform.h"

#ifndef _WIN32
#include <sys/stat.h>

#include "win32emu/machine/machine.h"
#endif

std::optional<FolderIdentity> IdentityOf(const std::string& path) {
#ifdef _WIN32
  HANDLE folder =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  BY_HANDLE_FILE_INFORMATION information;
  const bool told = GetFileInformationByHandle(folder, &information) != 0;
  CloseHandle(folder);
  if (!told) {
    return std::nullopt;
  }
  return FolderIdentity{
      information.dwVolumeSerialNumber,
      (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
#else
  // The emulated machine keeps no file identities: the host's own tell the same.
  struct stat information;
  if (stat(emu::HostPath(path.c_str()).c_str(), &information) != 0) {
    return std::nullopt;
  }
  return FolderIdentity{static_cast<std::uint64_t>(information.st_dev),
                        static_cast<std::uint64_t>(information.st_ino)};
#endif
}
