// On the emulated machine a path without a drive letter is the host's own: the check enters
// the host folder that holds it and names it from there.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "check/given_paths.h"
#include "support/folders.h"

namespace {

bool HasDriveLetter(const std::string& path) {
  return path.size() >= 2 && path[1] == ':' &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

// The canonical host path of `path`, or "" with errno set.
std::string HostReal(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) {
    return "";
  }
  std::string canonical = real;
  free(real);
  return canonical;
}

}  // namespace

bool ReachGivenPaths(std::string& package, std::string& record, std::string& problem) {
  if (HasDriveLetter(package)) {
    if (!DirectoryExists(package + (package.back() == '\\' || package.back() == '/' ? "" : "\\"))) {
      problem = package + ": no such folder";
      return false;
    }
  } else {
    std::string host = HostReal(package);
    struct stat info;
    if (host.empty() || stat(host.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      problem = package + ": no such folder";
      return false;
    }
    package = host;
  }
  if (!record.empty() && !HasDriveLetter(record)) {
    size_t slash = record.rfind('/');
    std::string folder = slash == std::string::npos ? "." : record.substr(0, slash + 1);
    std::string host = HostReal(folder);
    if (host.empty() || chdir(host.c_str()) != 0) {
      problem = "the record cannot be read: " + record + ": " + std::strerror(errno);
      return false;
    }
    record = slash == std::string::npos ? record : record.substr(slash + 1);
  }
  return true;
}

bool EnterPackageFolder(std::string& package, std::string& problem) {
  if (!HasDriveLetter(package)) {
    if (chdir(package.c_str()) != 0) {
      problem = package + ": " + std::strerror(errno);
      return false;
    }
    package.clear();
    return true;
  }
  if (package.back() != '\\' && package.back() != '/') {
    package += '\\';
  }
  return true;
}
