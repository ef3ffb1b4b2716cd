// The helpers that work through the platform calls alone, on the emulated machine and on
// Windows alike.
#include "platform/platform.h"
#include "test_machine.h"

namespace test_machine {

std::string TempDir() {
  char buffer[1024];
  DWORD length = GetTempPathA(sizeof buffer, buffer);
  return std::string(buffer, length);
}

std::string NewScratchFolder() {
  static int counter = 0;
  for (;;) {
    std::string path = TempDir() + "conf" + std::to_string(++counter) + "\\";
    if (CreateDirectoryA(path.c_str(), nullptr)) {
      return path;
    }
  }
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD written = 0;
  BOOL ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  return CloseHandle(file) && ok && written == bytes.size();
}

std::string ReadWholeFile(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return "<missing>";
  }
  std::string bytes;
  char chunk[4096];
  DWORD got = 0;
  while (::ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    bytes.append(chunk, got);
  }
  CloseHandle(file);
  return bytes;
}

}  // namespace test_machine
