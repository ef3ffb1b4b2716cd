#include "check/record_file.h"

#include "platform/platform.h"
#include "support/failure.h"

namespace {

// An export of one product's record is a few hundred bytes; far more is no such export.
constexpr DWORD kLargestRecordFile = 16 * 1024 * 1024;

// Stands for a file too large to be an export, beside the Windows error codes.
constexpr DWORD kTooLarge = 0xFFFFFFFF;

// The whole file, or false with the Windows error code.
bool ReadWholeFile(const std::string& path, std::string& bytes, DWORD& code) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    code = GetLastError();
    return false;
  }
  char buffer[64 * 1024];
  DWORD got = 0;
  bool read = true;
  while ((read = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != 0) && got > 0) {
    if (bytes.size() + got > kLargestRecordFile) {
      code = kTooLarge;
      read = false;
      break;
    }
    bytes.append(buffer, got);
  }
  if (!read && code == 0) {
    code = GetLastError();
  }
  CloseHandle(file);
  return read;
}

}  // namespace

bool ReadRecordFile(const std::string& path, const std::string& shown, emu::registry::Hive& hive,
                    std::string& problem) {
  std::string bytes;
  DWORD code = 0;
  if (!ReadWholeFile(path, bytes, code)) {
    problem = code == kTooLarge ? shown + ": larger than 16 MiB, no export of one product's record"
                                : shown + ": " + IoErrorText(static_cast<std::int32_t>(code));
    return false;
  }
  // An empty file would read as an export without keys, and predict "nothing installed".
  if (bytes.empty()) {
    problem = shown + ": empty, no registry export";
    return false;
  }
  emu::registry::ParseError error;
  if (!emu::registry::ParseExport(bytes, hive, error)) {
    problem = shown + ":" + std::to_string(error.line) + ": " + error.message;
    return false;
  }
  return true;
}
