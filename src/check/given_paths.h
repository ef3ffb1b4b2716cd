// The package folder and record file named on the command line, reached as the platform
// calls can reach them.
//
// Natively a path without a drive letter is the host's own, and the host's business: the
// check enters the host folder that holds it and names it from there, so that neither the
// depth of the host's folders nor a current folder inside the emulated C: drive bears on it.
// On Windows, and natively for a path with a drive letter, a path is taken as given.
#pragma once

#include <string>

// Checks that `package` names a folder, and makes `record` (when not empty) the name by which
// the record file is read from now on; false with the problem to tell.
bool ReachGivenPaths(std::string& package, std::string& record, std::string& problem);

// Makes `package`, as ReachGivenPaths left it, the folder the check reads: ending in '\', or
// empty for the current folder. Natively the check enters it.
bool EnterPackageFolder(std::string& package, std::string& problem);
