// On Windows the paths named on the command line are taken as given.
#include "check/given_paths.h"
#include "support/folders.h"

bool ReachGivenPaths(std::string& package, std::string&, std::string& problem) {
  if (!DirectoryExists(package + (package.back() == '\\' || package.back() == '/' ? "" : "\\"))) {
    problem = package + ": no such folder";
    return false;
  }
  return true;
}

bool EnterPackageFolder(std::string& package, std::string&) {
  if (package.back() != '\\' && package.back() != '/') {
    package += '\\';
  }
  return true;
}
