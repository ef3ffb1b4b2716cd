#include "fuzz_machine.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "win32emu/machine/folder_names.h"
#include "win32emu/machine/machine.h"

namespace fuzz {
namespace {

// Set in the environment of a fuzzer run again from its copy: "<pid>:<scratch root>". The
// pid, which execv keeps, tells the copy from a child process that libFuzzer starts.
constexpr char kRunAgainMarker[] = "UPDATER_FUZZ_RUN_AGAIN";

std::string scratch_root;  // the fresh folder from mkdtemp, canonical

bool IsInside(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  if (!IsInside(path, scratch_root)) {
    return 0;  // never anything outside the fuzzer's root
  }
  std::remove(path);
  return 0;
}

std::string contents_of;  // the folder whose entries RemoveContent removes

// The machine's memory of folder names is told of each removal: the folder may well keep its
// modification time within one tick of the host's clock, and the next input must not meet
// the names of the last.
int RemoveContent(const char* path, const struct stat*, int, struct FTW*) {
  if (IsInside(path, contents_of) && IsInside(path, scratch_root) && std::remove(path) == 0) {
    emu::NoteEntryRemoved(path);
  }
  return 0;
}

void RemoveScratchRoot() {
  if (scratch_root.empty()) {
    return;
  }
  nftw(scratch_root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  rmdir(scratch_root.c_str());
}

std::string Canonical(const std::string& path) {
  std::error_code error;
  std::filesystem::path canonical = std::filesystem::canonical(path, error);
  if (error) {
    Fail("no canonical path for " + path + ": " + error.message());
  }
  return canonical.string();
}

// The scratch root of this process when it is the copy that RunFromPackageFolder started.
std::string RootOfThisCopy() {
  const char* marker = std::getenv(kRunAgainMarker);
  if (marker == nullptr) {
    return "";
  }
  std::string text = marker;
  size_t colon = text.find(':');
  if (colon == std::string::npos || text.substr(0, colon) != std::to_string(getpid())) {
    return "";
  }
  return text.substr(colon + 1);
}

}  // namespace

void StartFreshMachine() {
  std::string root = RootOfThisCopy();
  if (root.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/updater-fuzz.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      Fail("cannot create a temporary folder from " + pattern);
    }
    root = Canonical(pattern);
    // A missing machine folder is set up by the emulation on first use.
    setenv("WIN32EMU_ROOT", (root + "/machine").c_str(), 1);
  }
  scratch_root = root;
  std::atexit(RemoveScratchRoot);
  if (!IsInside(emu::MachineRoot(), scratch_root)) {
    Fail("the machine root " + emu::MachineRoot() + " is not inside " + scratch_root);
  }
}

void RunFromPackageFolder(char** argv, const std::string& windows_folder) {
  if (!RootOfThisCopy().empty()) {
    return;
  }
  std::string folder = HostPathInside(windows_folder);
  std::filesystem::create_directories(folder);
  std::string copy = folder + "setup.exe";
  std::error_code error;
  std::filesystem::copy_file("/proc/self/exe", copy, error);
  if (error) {
    Fail("cannot copy the fuzzer to " + copy + ": " + error.message());
  }
  chmod(copy.c_str(), 0755);
  std::string marker = std::to_string(getpid()) + ":" + scratch_root;
  setenv(kRunAgainMarker, marker.c_str(), 1);
  execv(copy.c_str(), argv);
  Fail("cannot run " + copy);
}

std::string HostPathInside(const std::string& windows_path) {
  std::string host = emu::HostPath(windows_path.c_str());
  if (!IsInside(host, emu::MachineRoot()) || host.find("/..") != std::string::npos) {
    Fail("refusing a path outside the machine: " + windows_path);
  }
  return host;
}

void PutFile(const std::string& windows_path, std::string_view bytes) {
  std::string host = HostPathInside(windows_path);
  std::FILE* file = std::fopen(host.c_str(), "wb");
  if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
      std::fclose(file) != 0) {
    Fail("cannot write " + host);
  }
  emu::NoteEntryMade(host);
}

void EmptyFolder(const std::string& windows_folder) {
  std::string host = HostPathInside(windows_folder);
  while (host.size() > 1 && host.back() == '/') {
    host.pop_back();
  }
  contents_of = host;
  nftw(host.c_str(), RemoveContent, 16, FTW_DEPTH | FTW_PHYS);
  if (std::filesystem::create_directories(host)) {
    emu::NoteEntryMade(host);
  }
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "FUZZ FINDING: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace fuzz
