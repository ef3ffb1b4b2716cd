#include "driver/system_dll_search.h"

#include "platform/platform.h"

void LoadDllsFromSystemFolderOnly() {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) {
    return;
  }
  using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
  // Through the generic function pointer type, which converts to any other without warning.
  auto set_directories = reinterpret_cast<SetDefaultDllDirectoriesCall>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (set_directories != nullptr) {
    set_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
}
