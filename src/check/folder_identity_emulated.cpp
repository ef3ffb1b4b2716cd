// The emulated machine keeps no file identities: the host's own tell the same.
#include <sys/stat.h>

#include "check/folder_identity.h"
#include "win32emu/machine/machine.h"

std::optional<FolderIdentity> IdentityOf(const std::string& path) {
  struct stat information;
  if (stat(emu::HostPath(path.c_str()).c_str(), &information) != 0) {
    return std::nullopt;
  }
  return FolderIdentity{static_cast<std::uint64_t>(information.st_dev),
                        static_cast<std::uint64_t>(information.st_ino)};
}
