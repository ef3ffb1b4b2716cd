// The registry calls of the emulated machine. HKEY_LOCAL_MACHINE lives in the machine's
// system.reg (see registry_store.h); the other predefined roots are empty and cannot be
// written. A handle remembers the key's path and the access it was opened with; every call
// reads the file anew, so that processes see each other's changes.
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "regfile/registry_text.h"
#include "win32emu/emulated_win32.h"
#include "win32emu/faults/fault_points.h"
#include "win32emu/machine/machine.h"
#include "win32emu/machine/registry_store.h"

namespace {

constexpr LSTATUS kErrorBadPathname = 161;
constexpr LSTATUS kErrorNoAccess = 998;
constexpr LSTATUS kErrorKeyDeleted = 1018;

struct OpenKey {
  bool machine = true;  // a key of HKEY_LOCAL_MACHINE, else of an empty predefined root
  std::string path;     // below the root, in the case the key was created with
  REGSAM access = 0;
};

std::mutex handles_mutex;
std::unordered_map<ULONG_PTR, OpenKey> open_keys;
ULONG_PTR next_handle = 0x1000;

bool IsPredefined(HKEY key) {
  return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE ||
         key == HKEY_USERS;
}

// The key that `key` stands for, or false for a handle that is not open.
bool Resolve(HKEY key, OpenKey& found) {
  if (IsPredefined(key)) {
    found = OpenKey{key == HKEY_LOCAL_MACHINE, "", KEY_ALL_ACCESS};
    return true;
  }
  std::lock_guard<std::mutex> hold(handles_mutex);
  auto entry = open_keys.find(reinterpret_cast<ULONG_PTR>(key));
  if (entry == open_keys.end()) {
    return false;
  }
  found = entry->second;
  return true;
}

HKEY AddHandle(OpenKey key) {
  std::lock_guard<std::mutex> hold(handles_mutex);
  ULONG_PTR handle = next_handle;
  next_handle += 4;
  open_keys.emplace(handle, std::move(key));
  return reinterpret_cast<HKEY>(handle);
}

REGSAM SpecificAccess(REGSAM desired) {
  if ((desired & GENERIC_ALL) != 0) {
    desired |= KEY_ALL_ACCESS;
  }
  if ((desired & (GENERIC_READ | GENERIC_EXECUTE)) != 0) {
    desired |= KEY_READ;
  }
  if ((desired & GENERIC_WRITE) != 0) {
    desired |= KEY_WRITE;
  }
  return desired;
}

// `subkey` below `parent`; empty components, as in "a\\b" or a trailing '\', are skipped.
// False for a path that starts with '\', which Windows refuses.
bool JoinPath(const std::string& parent, std::string_view subkey, std::string& joined) {
  if (!subkey.empty() && subkey.front() == '\\') {
    return false;
  }
  joined = parent;
  while (!subkey.empty()) {
    size_t end = subkey.find('\\');
    std::string_view component = subkey.substr(0, end);
    subkey.remove_prefix(end == std::string_view::npos ? subkey.size() : end + 1);
    if (!component.empty()) {
      if (!joined.empty()) {
        joined += '\\';
      }
      joined += component;
    }
  }
  return true;
}

// A name that would break its line of system.reg, which has no escape for line ends.
bool FitsOnOneLine(std::string_view name) {
  return name.find_first_of("\r\n") == std::string_view::npos;
}

}  // namespace

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kRegOpenKeyExA, lpSubKey); fault != 0) {
    return static_cast<LSTATUS>(fault);
  }
  (void)ulOptions;
  // As on Windows, a failed open leaves *phkResult as it was.
  if (phkResult == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  OpenKey parent;
  if (!Resolve(hKey, parent)) {
    return ERROR_INVALID_HANDLE;
  }
  OpenKey opened{parent.machine, "", SpecificAccess(samDesired)};
  if (!JoinPath(parent.path, lpSubKey != nullptr ? lpSubKey : "", opened.path)) {
    return kErrorBadPathname;
  }
  if (!opened.path.empty()) {
    if (!parent.machine) {
      return ERROR_FILE_NOT_FOUND;
    }
    regfile::Hive hive;
    if (DWORD code = emu::registry::LoadHive(hive); code != 0) {
      return static_cast<LSTATUS>(code);
    }
    const regfile::Key* key = hive.Find(opened.path);
    if (key == nullptr) {
      return ERROR_FILE_NOT_FOUND;
    }
    opened.path = key->path;
  }
  if ((opened.access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0 &&
      (!opened.machine || !emu::registry::StoreWritable())) {
    return ERROR_ACCESS_DENIED;
  }
  *phkResult = AddHandle(std::move(opened));
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kRegQueryValueExA, lpValueName);
      fault != 0) {
    return static_cast<LSTATUS>(fault);
  }
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  OpenKey open;
  if (!Resolve(hKey, open)) {
    return ERROR_INVALID_HANDLE;
  }
  if ((open.access & KEY_QUERY_VALUE) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  if (!open.machine) {
    return ERROR_FILE_NOT_FOUND;
  }
  regfile::Hive hive;
  if (DWORD code = emu::registry::LoadHive(hive); code != 0) {
    return static_cast<LSTATUS>(code);
  }
  const regfile::Key* key = hive.Find(open.path);
  if (key == nullptr) {
    // The root always exists, if only without values.
    return open.path.empty() ? ERROR_FILE_NOT_FOUND : kErrorKeyDeleted;
  }
  const regfile::Value* value = key->FindValue(lpValueName != nullptr ? lpValueName : "");
  if (value == nullptr) {
    return ERROR_FILE_NOT_FOUND;
  }
  auto size = static_cast<DWORD>(value->data.size());
  if (lpType != nullptr) {
    *lpType = value->type;
  }
  LSTATUS result = ERROR_SUCCESS;
  if (lpData != nullptr) {
    if (*lpcbData < size) {
      result = ERROR_MORE_DATA;
    } else {
      value->data.copy(reinterpret_cast<char*>(lpData), size);
    }
  }
  if (lpcbData != nullptr) {
    *lpcbData = size;
  }
  return result;
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE* lpData, DWORD cbData) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kRegSetValueExA, lpValueName); fault != 0) {
    return static_cast<LSTATUS>(fault);
  }
  (void)Reserved;
  OpenKey open;
  if (!Resolve(hKey, open)) {
    return ERROR_INVALID_HANDLE;
  }
  if ((open.access & KEY_SET_VALUE) == 0 || !open.machine) {
    return ERROR_ACCESS_DENIED;
  }
  if (lpData == nullptr && cbData != 0) {
    return kErrorNoAccess;
  }
  std::string name = lpValueName != nullptr ? lpValueName : "";
  if (!FitsOnOneLine(name)) {
    return ERROR_INVALID_PARAMETER;
  }
  std::string data(reinterpret_cast<const char*>(lpData), lpData != nullptr ? cbData : 0);
  DWORD code = emu::registry::UpdateHive([&](regfile::Hive& hive) -> DWORD {
    regfile::Key* key = open.path.empty() ? &hive.FindOrAdd("") : hive.Find(open.path);
    if (key == nullptr) {
      return static_cast<DWORD>(kErrorKeyDeleted);
    }
    key->SetValue(name, dwType, std::move(data));
    return 0;
  });
  return static_cast<LSTATUS>(code);
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kRegDeleteValueA, lpValueName);
      fault != 0) {
    return static_cast<LSTATUS>(fault);
  }
  OpenKey open;
  if (!Resolve(hKey, open)) {
    return ERROR_INVALID_HANDLE;
  }
  if ((open.access & KEY_SET_VALUE) == 0 || !open.machine) {
    return ERROR_ACCESS_DENIED;
  }
  const std::string name = lpValueName != nullptr ? lpValueName : "";
  DWORD code = emu::registry::UpdateHive([&](regfile::Hive& hive) -> DWORD {
    regfile::Key* key = open.path.empty() ? &hive.FindOrAdd("") : hive.Find(open.path);
    if (key == nullptr) {
      return static_cast<DWORD>(kErrorKeyDeleted);
    }
    return key->RemoveValue(name) ? 0 : ERROR_FILE_NOT_FOUND;
  });
  return static_cast<LSTATUS>(code);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  OpenKey open;
  bool known = Resolve(hKey, open);
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kRegCloseKey, open.path.c_str());
      fault != 0) {
    return static_cast<LSTATUS>(fault);
  }
  if (!known) {
    return ERROR_INVALID_HANDLE;
  }
  if (IsPredefined(hKey)) {
    return ERROR_SUCCESS;
  }
  std::lock_guard<std::mutex> hold(handles_mutex);
  return open_keys.erase(reinterpret_cast<ULONG_PTR>(hKey)) != 0 ? ERROR_SUCCESS
                                                                 : ERROR_INVALID_HANDLE;
}
