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

std::string ValuePath(const std::string& key_path, const std::string& name) {
  return regfile::FoldCase(key_path + "\\" + name);
}

// The values that read otherwise when the characters the code page lacks stand for another
// byte: those hold such a character.
std::set<std::string> UnmappedValues(const regfile::Hive& read, const regfile::Hive& other) {
  std::set<std::string> unmapped;
  for (size_t at = 0; at < read.keys().size(); ++at) {
    const regfile::Key& key = read.keys()[at];
    const regfile::Key* same = at < other.keys().size() ? &other.keys()[at] : nullptr;
    for (const regfile::Value& value : key.values) {
      const regfile::Value* twin =
          same != nullptr && same->path == key.path ? same->FindValue(value.name) : nullptr;
      if (twin == nullptr || twin->data != value.data) {
        unmapped.insert(ValuePath(key.path, value.name));
      }
    }
  }
  return unmapped;
}

}  // namespace

bool UserRecord::Unmapped(const std::string& key_path, const std::string& name) const {
  return unmapped.count(ValuePath(key_path, name)) > 0;
}

bool ReadRecordFile(const std::string& path, const std::string& shown, unsigned code_page,
                    UserRecord& record, std::string& problem) {
  regfile::Hive& hive = record.hive;
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
  regfile::ParseError error;
  if (!regfile::ParseExport(bytes, hive, error, {code_page, '?'})) {
    problem = shown + ":" + std::to_string(error.line) + ": " + error.message;
    return false;
  }
  regfile::Hive other;
  if (regfile::ParseExport(bytes, other, error, {code_page, '\x7F'})) {
    record.unmapped = UnmappedValues(hive, other);
  }
  return true;
}
