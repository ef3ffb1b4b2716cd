// Which folder a path leads to, whatever links lie on its way: so that the check's walk of a
// content folder knows a link that leads back to a folder it is inside.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct FolderIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FolderIdentity&) const = default;
};

// The identity of the folder at `path`, or none when it cannot be told.
std::optional<FolderIdentity> IdentityOf(const std::string& path);
