#include "driver/look_ahead.h"

namespace {

// An installed launcher file that the replacement will save, delete and copy over.
std::optional<Refusal> InstalledFileRefusal(UpdateMachine& machine, const std::string& path) {
  DWORD attributes = machine.FileAttributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return std::nullopt;  // not installed: the new one is added
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return ProductFileUnreplaceable(path, ERROR_ACCESS_DENIED);
  }
  // Windows deletes no read-only file. The attribute may be meant, so it stays the user's.
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return ProductFileReadOnly(path);
  }
  // Sharing nothing, the open fails while any program holds the file, also one that lets
  // others delete it: its deletion would only be pending, and the name stay taken.
  DWORD code = machine.OpenFailure(path, GENERIC_READ | GENERIC_WRITE, 0);
  if (code == ERROR_SHARING_VIOLATION) {
    return ProductFileInUse(path);
  }
  if (code != 0) {
    return ProductFileUnreplaceable(path, static_cast<std::int32_t>(code));
  }
  return std::nullopt;
}

std::optional<Refusal> LauncherRefusal(UpdateMachine& machine, const UpdatePlan& plan) {
  for (const char* name : kLauncherFiles) {
    if (auto refusal = LauncherPathRefusal(plan.package_dir, plan.install_dir, name,
                                           machine.PackageDirKnown())) {
      return refusal;
    }
  }
  if (!machine.DirectoryExists(plan.install_dir)) {
    return ProductFolderMissing(plan.install_dir);
  }
  for (const char* name : kLauncherFiles) {
    const std::string new_file = plan.package_dir + "NewExe\\" + name;
    if (!machine.FileExists(new_file)) {
      continue;  // not in the package: the installed one stays
    }
    if (DWORD code = machine.OpenFailure(new_file, GENERIC_READ, FILE_SHARE_READ); code != 0) {
      return NewFileUnreadable(new_file, static_cast<std::int32_t>(code));
    }
    // A file that a run of this package put in place already is left as it is.
    const std::string installed = plan.install_dir + name;
    if (auto refusal = InstalledFileRefusal(machine, installed);
        refusal && !machine.SameBytes(installed, new_file)) {
      return refusal;
    }
  }
  return std::nullopt;
}

// The content tree's refusal, or none: the tree at `source` in the package (ending in '\\') is
// listed and measured by the paths the copy gives Windows, there and at `destination` in the
// product's folder (ending in '\\'). Each folder must list in full and each entry answer under
// the name the listing gave. A path that is too long in the product's folder is told first,
// since moving the update does not help there; then a folder or name that cannot be read; then
// a path too long in the package. The same walk lists the copy into `staging` for the run.
std::optional<Refusal> ContentTreeRefusal(UpdateMachine& machine, const std::string& source,
                                          const std::string& destination,
                                          const std::string& staging) {
  // Whatever order the listing comes in, the same refusal is told: of the paths too long, the
  // longest; of the others, the first by their text.
  std::optional<Refusal> in_product;    // a path too long in the product's folder
  std::optional<Refusal> unreadable;    // a folder that does not list, a name that names nothing
  std::optional<Refusal> package_path;  // a path too long in the package
  auto longest = [](std::optional<Refusal>& kept, std::optional<Refusal> found) {
    if (found && (!kept || found->text.size() > kept->text.size() ||
                  (found->text.size() == kept->text.size() && found->text < kept->text))) {
      kept = std::move(found);
    }
  };
  auto first = [](std::optional<Refusal>& kept, Refusal found) {
    if (!kept || found.text < kept->text) {
      kept = std::move(found);
    }
  };
  const bool package_dir_known = machine.PackageDirKnown();
  machine.WalkContent(
      source, staging,
      [&](const WalkedEntry& entry) {
        longest(in_product, CopyDestinationRefusal(destination + entry.relative, entry.IsFolder()));
        std::optional<Refusal> too_long;
        if (package_dir_known) {
          too_long = CopySourceRefusal(source + entry.relative, entry.IsFolder());
        }
        if (too_long) {
          longest(package_path, std::move(too_long));
        } else if (entry.attributes == INVALID_FILE_ATTRIBUTES) {
          // A name that the listing had to give in other characters names nothing.
          first(unreadable, NameNotShown(source + entry.relative));
        }
        return WalkOn::kEnter;
      },
      [&](const std::string& folder, DWORD code) {
        first(unreadable, PackageFolderUnreadable(source + folder + (folder.empty() ? "" : "\\"),
                                                  static_cast<std::int32_t>(code)));
      });
  if (in_product) {
    return in_product;
  }
  return unreadable ? unreadable : package_path;
}

std::optional<Refusal> ContentRefusal(UpdateMachine& machine, const UpdatePlan& plan) {
  const std::string temp_dir = machine.TempDir();
  if (!machine.DirectoryExists(temp_dir)) {
    return TempFolderUnusable(temp_dir);
  }
  if (plan.content_folder.empty()) {
    return ContentFolderUnnamed();
  }
  const std::string source = plan.package_dir + plan.content_folder;
  const std::string destination = plan.install_dir + plan.content_folder;
  if (auto refusal = CopyDestinationRefusal(destination, true)) {
    return refusal;
  }
  if (machine.PackageDirKnown()) {
    if (auto refusal = CopySourceRefusal(source, true)) {
      return refusal;
    }
  }
  if (!machine.DirectoryExists(source + "\\")) {
    return ContentFolderMissing(source + "\\");
  }
  return ContentTreeRefusal(machine, source + "\\", destination + "\\", plan.staging);
}

}  // namespace

std::optional<Refusal> LookAhead(UpdateMachine& machine, const UpdatePlan& plan) {
  if (plan.replaces_launchers) {
    if (auto refusal = LauncherRefusal(machine, plan)) {
      return refusal;
    }
  }
  if (plan.copies_content) {
    return ContentRefusal(machine, plan);
  }
  return std::nullopt;
}
