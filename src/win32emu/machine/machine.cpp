#include "win32emu/machine/machine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "regfile/registry_text.h"
#include "win32emu/machine/folder_names.h"
#include "win32emu/machine/names.h"
#include "win32emu/machine/path_rules.h"

namespace emu {
namespace {

thread_local DWORD last_error = 0;

void MakeFolders(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at == path.size() || path[at] == '/') {
      mkdir(path.substr(0, at).c_str(), 0777);
    }
  }
}

// A new machine's registry: the header alone, as the registry calls would write it.
void WriteEmptyRegistry(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    return;
  }
  std::string_view text = regfile::kEmptyHiveText;
  ssize_t wrote = write(fd, text.data(), text.size());
  close(fd);
  if (wrote != static_cast<ssize_t>(text.size())) {
    unlink(path.c_str());
  }
}

std::string CanonicalRoot() {
  std::string root;
  if (const char* named = std::getenv("WIN32EMU_ROOT"); named != nullptr && *named != '\0') {
    root = named;
  } else {
    const char* home = std::getenv("HOME");
    root = std::string(home != nullptr ? home : "") + "/.win32emu";
  }
  struct stat info;
  if (stat(root.c_str(), &info) != 0) {
    MakeFolders(root + "/drive_c/WINDOWS");
    MakeFolders(root + "/drive_c/TEMP");
    WriteEmptyRegistry(root + "/system.reg");
  }
  if (char* real = realpath(root.c_str(), nullptr); real != nullptr) {
    root = real;
    std::free(real);
  }
  while (root.size() > 1 && root.back() == '/') {
    root.pop_back();
  }
  return root;
}

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

char LowerLetter(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The host folder of drive `letter`, without a trailing '/' ("" for Z:, the host's root).
const std::string& DriveFolder(char letter) {
  static const std::array<std::string, 26> folders = [] {
    std::array<std::string, 26> made;
    for (char at = 'a'; at < 'z'; ++at) {
      made[static_cast<size_t>(at - 'a')] = MachineRoot() + "/drive_" + at;
    }
    return made;  // Z: is ""
  }();
  return folders[static_cast<size_t>(LowerLetter(letter) - 'a')];
}

// The step of `path` that starts at `at`; `at` moves past it and the separator after it.
std::string_view NextStep(std::string_view path, size_t& at) {
  size_t end = at;
  while (end < path.size() && !IsSeparator(path[end])) {
    ++end;
  }
  std::string_view step = path.substr(at, end - at);
  at = end + 1;
  return step;
}

// True when a step of `path` is "." or "..".
bool HasDotStep(std::string_view path) {
  auto ends_step = [&](size_t at) { return at == path.size() || IsSeparator(path[at]); };
  for (size_t at = path.find('.'); at != std::string_view::npos; at = path.find('.', at + 1)) {
    if ((at == 0 || IsSeparator(path[at - 1])) &&
        (ends_step(at + 1) || (path[at + 1] == '.' && ends_step(at + 2)))) {
      return true;
    }
  }
  return false;
}

// The host form of `rooted`, a path from its drive's root, with "." and ".." folded away by
// the text alone, as Windows makes a full path: ".." at the root stays there, so that no path
// leaves its drive, and the folders on the way need not exist. A trailing separator stays.
std::string FoldDotSteps(std::string_view rooted) {
  std::vector<std::string_view> steps;
  for (size_t at = 0; at <= rooted.size();) {
    std::string_view step = NextStep(rooted, at);
    if (step == "..") {
      if (!steps.empty()) {
        steps.pop_back();
      }
    } else if (!step.empty() && step != ".") {
      steps.push_back(step);
    }
  }
  std::string folded;
  for (std::string_view step : steps) {
    folded += '/';
    folded += step;
  }
  if (folded.empty() || IsSeparator(rooted.back())) {
    folded += '/';
  }
  return folded;
}

// The drive of the current folder, as a rooted path without a drive takes it.
char CurrentDrive() {
  char* here = getcwd(nullptr, 0);
  std::string windows = here != nullptr ? WindowsPath(here) : "Z:";
  std::free(here);
  return windows[0];
}

// True where the memory of the names of `host`'s folder, remembered and unchanged, tells that
// `host` stands as spelled; false where it is not remembered, or where `host` ends in no name
// past its first `fixed` characters.
bool KnownAsSpelled(const std::string& host, size_t fixed, bool before_own_name) {
  const size_t end = host.find_last_not_of('/');
  const size_t slash = end == std::string::npos ? end : host.rfind('/', end);
  if (slash == std::string::npos || slash + 1 < fixed) {
    return false;
  }
  const std::string_view name = std::string_view(host).substr(slash + 1, end - slash);
  if (name == "." || name == "..") {
    return false;
  }
  const std::string folder = slash == 0 ? "/" : host.substr(0, slash);
  // The memory tells only of a name that is not there, or is there as spelled: either way the
  // path stands as it is.
  return KnownEntry(folder, name, before_own_name).has_value();
}

// `host` with each name after its first `fixed` characters taken as the existing entry that it
// names regardless of letter case, as NTFS finds names. A path in a folder whose names are
// remembered and unchanged costs one stat of that folder; another existing path, one lstat; a
// new one, one lstat per missing folder on its way and a look into the names of the folder
// that exists.
std::string ResolveCase(std::string host, size_t fixed, bool before_own_name = false) {
  if (KnownAsSpelled(host, fixed, before_own_name)) {
    return host;
  }
  struct stat info;
  if (lstat(host.c_str(), &info) == 0) {
    return host;
  }
  std::string base = host.substr(0, fixed);
  std::vector<std::string_view> names;
  std::string_view rest = std::string_view(host).substr(fixed);
  for (size_t at = 0; at < rest.size();) {
    size_t end = std::min(rest.find('/', at), rest.size());
    if (end > at) {
      names.push_back(rest.substr(at, end - at));
    }
    at = end + 1;
  }
  auto joined = [&](size_t count) {
    std::string path = base;
    for (size_t at = 0; at < count; ++at) {
      if (!path.empty() && path.back() != '/') {
        path += '/';
      }
      path += names[at];
    }
    return path;
  };
  // The deepest folder on the way that is there, and the lookup of the next name in it; the
  // full path is known not to exist as spelled.
  size_t at = names.empty() ? 0 : names.size() - 1;
  CaseBlindLookup lookup{CaseBlindLookup::kAbsent, ""};
  while (!names.empty()) {
    std::string folder = joined(at);
    lookup = CaseBlindEntry(folder.empty() ? "." : folder, names[at], at + 1 == names.size());
    if (lookup.result != CaseBlindLookup::kNoFolder || at == 0) {
      break;
    }
    --at;
  }
  std::string resolved = joined(at);
  for (; at < names.size() && lookup.result == CaseBlindLookup::kFound;) {
    if (!resolved.empty() && resolved.back() != '/') {
      resolved += '/';
    }
    resolved += lookup.name;
    if (++at == names.size() || names[at] == "." || names[at] == "..") {
      break;
    }
    lookup = CaseBlindEntry(resolved, names[at]);
  }
  for (; at < names.size(); ++at) {
    if (!resolved.empty() && resolved.back() != '/') {
      resolved += '/';
    }
    resolved += names[at];
  }
  if (!host.empty() && host.back() == '/' && (resolved.empty() || resolved.back() != '/')) {
    resolved += '/';
  }
  return resolved;
}

std::string ResolvedHostPath(const char* windows_path, bool resolve, bool before_own_name = false);

}  // namespace

const std::string& MachineRoot() {
  static const std::string root = CanonicalRoot();
  return root;
}

std::string HostPath(const char* windows_path) {
  return ResolvedHostPath(windows_path, true);
}

std::string HostPathAsSpelled(const char* windows_path) {
  return ResolvedHostPath(windows_path, false);
}

std::string WithoutTrailingSlashes(std::string host_path) {
  while (host_path.size() > 1 && host_path.back() == '/') {
    host_path.pop_back();
  }
  return host_path;
}

std::string HostPathOfNewName(const char* windows_path) {
  return ResolvedHostPath(windows_path, true, true);
}

bool MissedAsSpelled(int err) {
  return err == ENOENT || err == ENOTDIR;
}

namespace {

std::string ResolvedHostPath(const char* windows_path, bool resolve, bool before_own_name) {
  // Most paths have nothing to trim: they are taken as given, with no copy.
  const std::string_view given = windows_path != nullptr ? windows_path : "";
  std::string trimmed_copy;
  std::string_view trimmed = given;
  if (!TrimsNothing(given)) {
    trimmed_copy = TrimDotsAndBlanks(given);
    trimmed = trimmed_copy;
  }
  std::string_view path(trimmed);
  std::string host;
  bool rooted = false;
  if (path.size() >= 2 && IsLetter(path[0]) && path[1] == ':') {
    host = DriveFolder(path[0]);
    path.remove_prefix(2);
    if (path.empty() || !IsSeparator(path.front())) {
      host += '/';
    }
    rooted = true;
  } else if (!path.empty() && IsSeparator(path[0]) && (path.size() == 1 || !IsSeparator(path[1]))) {
    host = DriveFolder(CurrentDrive());
    rooted = true;
  }
  // The drive's folder is the machine's own and named exactly; the host's root, "/", too.
  size_t fixed = host.empty() && !path.empty() && IsSeparator(path[0]) ? 1 : host.size();
  if (rooted && HasDotStep(path)) {
    if (!host.empty() && host.back() == '/') {
      host.pop_back();
    }
    fixed = std::max<size_t>(host.size(), 1);
    std::string folded = host + HostFromAnsi(FoldDotSteps(path));
    return resolve ? ResolveCase(std::move(folded), fixed) : folded;
  }
  const size_t start = host.size();
  host.reserve(start + path.size());
  AppendHostFromAnsi(host, path);
  std::replace(host.begin() + static_cast<std::ptrdiff_t>(start), host.end(), '\\', '/');
  if (host.empty() && !trimmed.empty()) {
    host = "/";
  }
  if (!resolve) {
    return host;
  }
  fixed = std::min(fixed, host.size());
  return ResolveCase(std::move(host), fixed, before_own_name);
}

}  // namespace

std::string WindowsPath(const std::string& host_path) {
  const std::string& root = MachineRoot();
  std::string_view rest(host_path);
  std::string windows;
  const std::string drives = root + "/drive_";
  if (rest.substr(0, drives.size()) == drives && rest.size() > drives.size() &&
      IsLetter(rest[drives.size()]) &&
      (rest.size() == drives.size() + 1 || rest[drives.size() + 1] == '/')) {
    char letter = rest[drives.size()];
    windows += static_cast<char>(LowerLetter(letter) - 'a' + 'A');
    windows += ':';
    rest.remove_prefix(drives.size() + 1);
    if (rest.empty()) {
      windows += '\\';
    }
  } else {
    windows = "Z:";
  }
  for (char c : AnsiFromHost(rest)) {
    windows += c == '/' ? '\\' : c;
  }
  return windows;
}

DWORD ErrorFromErrno(int err, const std::string& host_path) {
  switch (err) {
    case ENOENT: {
      std::string folder = host_path;
      while (!folder.empty() && folder.back() == '/') {
        folder.pop_back();
      }
      size_t slash = folder.rfind('/');
      folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : folder.substr(0, slash));
      struct stat info;
      bool folder_exists = stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
      return folder_exists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    }
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case EPIPE:
      return ERROR_BROKEN_PIPE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_WRITE_FAULT;
  }
}

BOOL Fail(DWORD code) {
  last_error = code;
  return FALSE;
}

}  // namespace emu

DWORD WINAPI GetLastError(void) {
  return emu::last_error;
}

void WINAPI SetLastError(DWORD dwErrCode) {
  emu::last_error = dwErrCode;
}
