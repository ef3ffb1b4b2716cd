// A fresh folder per test under the temporary directory, for tests that run the same on the
// emulated machine and on Windows.
#pragma once

#include <string>

#include "platform/platform.h"

namespace conformance {

// The temporary directory as the platform reports it, ending in '\'.
inline std::string TempDir() {
  char buffer[1024];
  DWORD length = GetTempPathA(sizeof buffer, buffer);
  return std::string(buffer, length);
}

// Creates a new, empty folder and returns its path with a trailing '\'.
inline std::string NewScratchFolder() {
  static int counter = 0;
  for (;;) {
    std::string path = TempDir() + "conf" + std::to_string(++counter) + "\\";
    if (CreateDirectoryA(path.c_str(), nullptr)) {
      return path;
    }
  }
}

// Writes `bytes` into a new file at `path`; true when all went well.
inline bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD written = 0;
  BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  return CloseHandle(file) && ok && written == bytes.size();
}

// The whole content of the file at `path`, or "<missing>" when it cannot be opened.
inline std::string ReadWholeFile(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return "<missing>";
  }
  std::string bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    bytes.append(chunk, got);
  }
  CloseHandle(file);
  return bytes;
}

}  // namespace conformance
