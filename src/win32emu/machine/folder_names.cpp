#include "win32emu/machine/folder_names.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "win32emu/machine/machine.h"
#include "win32emu/machine/names.h"

namespace emu {
namespace {

// Beyond this many folders remembered, the memory starts again empty.
constexpr size_t kMostFolders = 64;

// What tells that a folder is as it was when its names were read.
struct Stamp {
  dev_t device = 0;
  ino_t inode = 0;
  struct timespec modified {};
  off_t size = 0;
  bool operator==(const Stamp& other) const {
    return device == other.device && inode == other.inode &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
           size == other.size;
  }
};

struct FolderNames {
  Stamp stamp;
  // This process has made names here since the stamp was taken: the folder's next stamp is
  // taken as theirs, with no reading again.
  bool own_change = false;
  std::unordered_map<std::string, std::string> by_key;  // the smallest name of each key
};

std::mutex lock;
std::unordered_map<std::string, FolderNames> folders;

bool StampOf(const std::string& folder, Stamp* stamp) {
  struct stat info;
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return false;
  }
  *stamp = Stamp{info.st_dev, info.st_ino, info.st_mtim, info.st_size};
  return true;
}

void Remember(FolderNames& names, std::string_view name) {
  auto [at, fresh] = names.by_key.try_emplace(CaseBlindKey(name), name);
  if (!fresh && name < at->second) {
    at->second = name;
  }
}

bool ReadNames(const std::string& folder, FolderNames& names) {
  DIR* stream = opendir(folder.c_str());
  if (stream == nullptr) {
    return false;
  }
  names.by_key.clear();
  while (const dirent* entry = readdir(stream)) {
    std::string_view name(entry->d_name);
    if (name != "." && name != "..") {
      Remember(names, entry->d_name);
    }
  }
  closedir(stream);
  return true;
}

// The memory knows a folder by its absolute path, so that a relative name and the full one of
// the same folder share one entry, and the process's own changes reach it either way.
std::string Absolute(std::string_view folder) {
  if (folder.starts_with('/')) {
    return std::string(folder);
  }
  char* here = getcwd(nullptr, 0);
  std::string absolute = here != nullptr ? here : "";
  std::free(here);
  if (folder != "." && !folder.empty()) {
    absolute += absolute.ends_with('/') ? "" : "/";
    absolute += folder;
  }
  return absolute;
}

// The folder and the last name of a host path, as views into it.
std::pair<std::string_view, std::string_view> Split(std::string_view host_path) {
  while (host_path.size() > 1 && host_path.back() == '/') {
    host_path.remove_suffix(1);
  }
  size_t slash = host_path.find_last_of('/');
  if (slash == std::string_view::npos) {
    return {".", host_path};
  }
  return {slash == 0 ? std::string_view("/") : host_path.substr(0, slash),
          host_path.substr(slash + 1)};
}

}  // namespace

CaseBlindLookup CaseBlindEntry(const std::string& folder, std::string_view name,
                               bool exact_missing) {
  if (!exact_missing) {
    std::string exact = folder + (folder.ends_with('/') ? "" : "/") + std::string(name);
    struct stat info;
    if (lstat(exact.c_str(), &info) == 0) {
      return {CaseBlindLookup::kFound, std::string(name)};
    }
  }
  Stamp now;
  if (!StampOf(folder, &now)) {
    return {CaseBlindLookup::kNoFolder, ""};
  }
  const std::string key = Absolute(folder);
  std::lock_guard<std::mutex> hold(lock);
  auto known = folders.find(key);
  if (known == folders.end()) {
    if (folders.size() >= kMostFolders) {
      folders.clear();
    }
    known = folders.emplace(key, FolderNames{}).first;
  }
  FolderNames& names = known->second;
  if (names.own_change && !(names.stamp == now)) {
    names.stamp = now;
  }
  names.own_change = false;
  if (!(names.stamp == now)) {
    names.stamp = Stamp{};
    if (!ReadNames(folder, names)) {
      folders.erase(known);
      return {CaseBlindLookup::kNoFolder, ""};
    }
    names.stamp = now;  // taken before the reading, so that a change meanwhile shows next time
  }
  auto found = names.by_key.find(CaseBlindKey(name));
  if (found == names.by_key.end()) {
    return {CaseBlindLookup::kAbsent, ""};
  }
  return {CaseBlindLookup::kFound, found->second};
}

std::optional<CaseBlindLookup> KnownEntry(const std::string& folder, std::string_view name,
                                          bool before_own_name) {
  const std::string key = Absolute(folder);
  std::lock_guard<std::mutex> hold(lock);
  auto known = folders.find(key);
  if (known == folders.end()) {
    return std::nullopt;
  }
  FolderNames& names = known->second;
  if (before_own_name && names.own_change) {
    // A look at the folder now would take whatever changed since the last as this process's
    // own: the memory stands as it is, with no look. The folder's time is not known from here
    // on, so that a look with no new name of this process between reads the folder again.
    names.stamp = Stamp{};
    names.own_change = false;
  } else {
    Stamp now;
    if (!StampOf(folder, &now)) {
      return std::nullopt;
    }
    if (names.own_change && !(names.stamp == now)) {
      names.stamp = now;
    }
    names.own_change = false;
    if (!(names.stamp == now)) {
      return std::nullopt;
    }
  }
  auto found = names.by_key.find(CaseBlindKey(name));
  if (found == names.by_key.end()) {
    return CaseBlindLookup{CaseBlindLookup::kAbsent, ""};
  }
  if (found->second != name) {
    return std::nullopt;
  }
  return CaseBlindLookup{CaseBlindLookup::kFound, found->second};
}

void NoteEntryMade(const std::string& host_path) {
  auto [folder, name] = Split(host_path);
  const std::string key = Absolute(folder);
  std::lock_guard<std::mutex> hold(lock);
  auto known = folders.find(key);
  if (known == folders.end()) {
    return;
  }
  Remember(known->second, name);
  known->second.own_change = true;
}

void NoteFolderMade(const std::string& host_folder) {
  NoteEntryMade(host_folder);
  const std::string bare = WithoutTrailingSlashes(host_folder);
  FolderNames made;
  if (!StampOf(bare, &made.stamp)) {
    return;
  }
  const std::string key = Absolute(bare);
  std::lock_guard<std::mutex> hold(lock);
  if (folders.size() >= kMostFolders) {
    folders.clear();
  }
  folders[key] = std::move(made);
}

void NoteEntryRemoved(const std::string& host_path) {
  const std::string key = Absolute(Split(host_path).first);
  std::lock_guard<std::mutex> hold(lock);
  folders.erase(key);
}

void NoteFolderGone(const std::string& host_folder) {
  const std::string bare = WithoutTrailingSlashes(host_folder);
  const std::string key = Absolute(bare);
  const std::string inside = key + "/";
  std::lock_guard<std::mutex> hold(lock);
  folders.erase(Absolute(Split(bare).first));
  for (auto it = folders.begin(); it != folders.end();) {
    it = it->first == key || it->first.starts_with(inside) ? folders.erase(it) : std::next(it);
  }
}

}  // namespace emu
