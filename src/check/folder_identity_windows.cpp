// Windows tells a folder's identity by its volume and file index.
#include "check/folder_identity.h"

#include "platform/platform.h"

std::optional<FolderIdentity> IdentityOf(const std::string& path) {
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
}
