#include "driver/registry_record.h"

#include <vector>

#include "support/failure.h"

namespace {

constexpr REGSAM kExistenceTestAccess =
    STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;

// A path that starts at the root is written with a leading '\', which Windows does not take.
std::string SubkeyOf(const std::string& path) {
  return !path.empty() && path.front() == '\\' ? path.substr(1) : path;
}

// Raises the registry failure `what` ("Failed to get data for") for the value `name`,
// naming the place in the accessor that called this as where it was raised.
[[noreturn, gnu::noinline]] void RaiseRegistryFailure(const char* what, const std::string& name) {
  throw ERegistryException(std::string(what) + " '" + name + "'", __builtin_return_address(0));
}

}  // namespace

[[gnu::noinline]] std::string TextOfValue(const std::string& name, DWORD type,
                                          std::string_view data) {
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    RaiseRegistryFailure("Invalid data type for", name);
  }
  return std::string(data.substr(0, data.find('\0')));
}

bool RegistryRecord::RecordExists(const std::string& path) {
  HKEY key = nullptr;
  RegOpenKeyExA(root_, SubkeyOf(path).c_str(), 0, kExistenceTestAccess, &key);
  if (key == nullptr) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

bool RegistryRecord::OpenRecord(const std::string& path) {
  HKEY key = nullptr;
  std::string subkey = SubkeyOf(path);
  if (RegOpenKeyExA(root_, subkey.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    return false;
  }
  CloseRecord();
  current_key_ = key;
  return true;
}

void RegistryRecord::CloseRecord() {
  if (current_key_ != nullptr) {
    RegCloseKey(current_key_);
  }
  current_key_ = nullptr;
}

bool RegistryRecord::HasValue(const std::string& name) {
  DWORD type = 0;
  DWORD size = 0;
  return RegQueryValueExA(current_key_, name.c_str(), nullptr, &type, nullptr, &size) ==
         ERROR_SUCCESS;
}

std::string RegistryRecord::ReadTextValue(const std::string& name) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(current_key_, name.c_str(), nullptr, &type, nullptr, &size) !=
          ERROR_SUCCESS ||
      size == 0) {
    return std::string();
  }
  std::vector<BYTE> data(size);
  if (RegQueryValueExA(current_key_, name.c_str(), nullptr, &type, data.data(), &size) !=
      ERROR_SUCCESS) {
    RaiseRegistryFailure("Failed to get data for", name);
  }
  return TextOfValue(name, type,
                     std::string_view(reinterpret_cast<const char*>(data.data()),
                                      size < data.size() ? size : data.size()));
}

void RegistryRecord::WriteTextValue(const std::string& name, const std::string& text) {
  if (RegSetValueExA(current_key_, name.c_str(), 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>(text.size() + 1)) != ERROR_SUCCESS) {
    RaiseRegistryFailure("Failed to set data for", name);
  }
}

void RegistryRecord::WriteFlagValue(const std::string& name, bool flag) {
  const BYTE data[4] = {static_cast<BYTE>(flag ? 1 : 0), 0, 0, 0};
  if (RegSetValueExA(current_key_, name.c_str(), 0, REG_DWORD, data, sizeof data) !=
      ERROR_SUCCESS) {
    RaiseRegistryFailure("Failed to set data for", name);
  }
}

void RegistryRecord::DeleteValue(const std::string& name) {
  const LSTATUS status = RegDeleteValueA(current_key_, name.c_str());
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    RaiseRegistryFailure("Failed to delete", name);
  }
}
