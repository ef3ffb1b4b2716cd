#include "support/folders.h"

#include "platform/platform.h"

namespace {

constexpr size_t kUpdaterFileNameLength = sizeof("setup.exe") - 1;

// The text that a directory query wrote into its buffer; a failed or overlong answer is "".
std::string QueriedText(const char* buffer, size_t reported, size_t capacity) {
  return reported < capacity ? std::string(buffer, reported) : std::string();
}

}  // namespace

std::string GetPackageDir() {
  char path[MAX_PATH + 1];
  // A path cut short by the buffer is kept as the platform gave it: every package path
  // built from it is then too long to open, and the run ends at the first file it reads.
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string module(path, length < sizeof path ? length : sizeof path);
  if (module.size() <= kUpdaterFileNameLength) {
    return std::string();
  }
  module.resize(module.size() - kUpdaterFileNameLength);
  return module;
}

std::string GetWindowsDir() {
  char buffer[1024];
  UINT length = GetWindowsDirectoryA(buffer, sizeof buffer);
  return QueriedText(buffer, length, sizeof buffer);
}

std::string GetTempDir() {
  char buffer[1024];
  DWORD length = GetTempPathA(sizeof buffer, buffer);
  return QueriedText(buffer, length, sizeof buffer);
}

bool FileExists(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
