#include "driver/refusals.h"

#include "platform/platform.h"
#include "support/failure.h"
#include "support/windows_names.h"

namespace {

using windows_names::kLongestFilePath;
using windows_names::kLongestFolderPath;

bool FileFits(const std::string& path) {
  return path.size() <= kLongestFilePath;
}

// A folder is made with its final '\' (CreateDirectoryA) and listed with "*.*" appended.
bool FolderFits(const std::string& folder_with_separator) {
  return folder_with_separator.size() <= kLongestFolderPath;
}

bool ListingFits(const std::string& folder_with_separator) {
  return (folder_with_separator + "*.*").size() <= kLongestFilePath;
}

// Each text says what was found and what the user can do, then names the path it was found
// at.
std::string Naming(const char* text, const std::string& path) {
  return std::string(text) + " (" + path + ")";
}

}  // namespace

Refusal TempFolderUnusable(const std::string& temp_dir) {
  return {ERROR_PATH_NOT_FOUND,
          Naming("The temporary folder cannot be found: set TMP and TEMP to a folder that exists "
                 "and whose name has only characters of this system's language, then start the "
                 "update again",
                 temp_dir)};
}

Refusal ContentFolderUnnamed() {
  return {ERROR_INVALID_NAME,
          "The update names no content folder (line 1 of set.inf is empty): get the update "
          "again from its maker"};
}

Refusal ContentFolderMissing(const std::string& folder) {
  return {ERROR_PATH_NOT_FOUND,
          Naming("The update's content folder cannot be found: unpack the whole update again, or "
                 "get it again from its maker",
                 folder)};
}

Refusal PackageFolderUnreadable(const std::string& folder, std::int32_t code) {
  return {code, Naming("A folder of the update cannot be read: unpack the update again, or let "
                       "the virus scanner release it, then start the update again",
                       folder)};
}

Refusal NameNotShown(const std::string& path) {
  return {ERROR_INVALID_NAME,
          Naming("A file of the update has a name that this system's language cannot show: set "
                 "the language for non-Unicode programs to the update's language, or get the "
                 "update made for this language",
                 path)};
}

Refusal PackagePathTooLong(const std::string& path) {
  return {ERROR_FILENAME_EXCED_RANGE,
          Naming("The update's folder path is too long: move the update nearer to the drive's "
                 "root",
                 path)};
}

Refusal ProductPathTooLong(const std::string& path) {
  return {ERROR_FILENAME_EXCED_RANGE,
          Naming("A file would get a path too long in the product's folder: ask the update's "
                 "maker for one with shorter names",
                 path)};
}

Refusal ProductFolderMissing(const std::string& install_dir) {
  return {ERROR_PATH_NOT_FOUND,
          Naming("The product's folder is missing: install the product again, then start the "
                 "update",
                 install_dir)};
}

Refusal NewFileUnreadable(const std::string& path, std::int32_t code) {
  return {code, Naming("A file of the update cannot be read: let the virus scanner release it, "
                       "or unpack the update again, then start the update again",
                       path)};
}

Refusal ProductFileReadOnly(const std::string& path) {
  return {ERROR_ACCESS_DENIED,
          Naming("A file of the product is read-only: clear its read-only attribute in its "
                 "properties, then start the update again",
                 path)};
}

Refusal ProductFileInUse(const std::string& path) {
  return {
      ERROR_SHARING_VIOLATION,
      Naming("A file of the product is in use: close the game and start the update again", path)};
}

Refusal ProductFileUnreplaceable(const std::string& path, std::int32_t code) {
  return {code, Naming("A file of the product cannot be replaced: start the update with "
                       "administrator rights",
                       path)};
}

Refusal LauncherFileNotReplaced(const std::string& path) {
  return {ERROR_ACCESS_DENIED,
          Naming("A file of the product could not be replaced, and its files are as they were: "
                 "close the game and start the update again",
                 path)};
}

Refusal ContentFileNotCopied(const std::string& path, std::int32_t code) {
  return {code, Naming("A file of the update could not be copied, and the product's content "
                       "folder was not made: close the game, let the virus scanner release the "
                       "file or free space on the drive, then start the update again",
                       path)};
}

Refusal ContentFolderNotPutInPlace(const std::string& path, std::int32_t code) {
  return {code, Naming("The update's content folder could not be put in place: close every "
                       "program that shows the product's folder, let the virus scanner release "
                       "it, then start the update again",
                       path)};
}

[[gnu::noinline]] void Refuse(const Refusal& refusal) {
  throw EInOutError(refusal.code, refusal.text, __builtin_return_address(0));
}

std::optional<Refusal> LauncherPathRefusal(const std::string& package_dir,
                                           const std::string& install_dir, const char* name,
                                           bool package_dir_known) {
  const std::string installed = install_dir + name;
  const std::string saved_folder = install_dir + "OldExe\\";
  if (!FileFits(installed)) {
    return ProductPathTooLong(installed);
  }
  if (!FolderFits(saved_folder)) {
    return ProductPathTooLong(saved_folder);
  }
  if (!FileFits(saved_folder + name)) {
    return ProductPathTooLong(saved_folder + name);
  }
  const std::string new_file = package_dir + "NewExe\\" + name;
  if (package_dir_known && !FileFits(new_file)) {
    return PackagePathTooLong(new_file);
  }
  return std::nullopt;
}

std::optional<Refusal> CopyDestinationRefusal(const std::string& destination, bool folder) {
  if (folder ? !FolderFits(destination + "\\") : !FileFits(destination)) {
    return ProductPathTooLong(folder ? destination + "\\" : destination);
  }
  return std::nullopt;
}

std::optional<Refusal> CopySourceRefusal(const std::string& source, bool folder) {
  if (folder ? !ListingFits(source + "\\") : !FileFits(source)) {
    return PackagePathTooLong(folder ? source + "\\" : source);
  }
  return std::nullopt;
}
