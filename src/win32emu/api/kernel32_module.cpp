// The running program's own path, the machine's fixed folders, the modules behind code
// addresses, the DLL search, and the way out of the process.
#include <link.h>
#include <unistd.h>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "win32emu/faults/fault_points.h"
#include "win32emu/machine/machine.h"

namespace {

constexpr DWORD kErrorBadLength = 24;
constexpr DWORD kPageReadonly = 0x02;
constexpr DWORD kPageReadwrite = 0x04;
constexpr DWORD kPageExecuteWritecopy = 0x80;

constexpr char kWindowsFolder[] = "C:\\WINDOWS";
constexpr char kTempFolder[] = "C:\\TEMP\\";

// A loaded module, and the segment of it that holds the address asked about.
struct ModuleLookup {
  // In: an address inside the module, or the module's load address.
  std::uintptr_t address = 0;
  bool by_load_address = false;
  // Out:
  bool found = false;
  bool is_main_program = false;
  std::uintptr_t load_address = 0;
  std::uintptr_t segment_start = 0;
  std::uintptr_t segment_end = 0;
  ElfW(Word) segment_flags = 0;
  std::string host_path;
};

std::uintptr_t PageSize() {
  static const std::uintptr_t size = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  return size;
}

std::uintptr_t PageDown(std::uintptr_t at) {
  return at & ~(PageSize() - 1);
}

std::uintptr_t PageUp(std::uintptr_t at) {
  return PageDown(at + PageSize() - 1);
}

int VisitModule(struct dl_phdr_info* info, size_t, void* data) {
  auto* lookup = static_cast<ModuleLookup*>(data);
  // The main program comes first and has no name of its own.
  bool is_main = info->dlpi_name == nullptr || info->dlpi_name[0] == '\0';
  std::uintptr_t lowest = UINTPTR_MAX;
  for (ElfW(Half) at = 0; at < info->dlpi_phnum; ++at) {
    const ElfW(Phdr)& header = info->dlpi_phdr[at];
    if (header.p_type == PT_LOAD && header.p_vaddr < lowest) {
      lowest = header.p_vaddr;
    }
  }
  if (lowest == UINTPTR_MAX) {
    return 0;
  }
  std::uintptr_t load_address = PageDown(info->dlpi_addr + lowest);
  for (ElfW(Half) at = 0; at < info->dlpi_phnum; ++at) {
    const ElfW(Phdr)& header = info->dlpi_phdr[at];
    if (header.p_type != PT_LOAD) {
      continue;
    }
    std::uintptr_t start = PageDown(info->dlpi_addr + header.p_vaddr);
    std::uintptr_t end = PageUp(info->dlpi_addr + header.p_vaddr + header.p_memsz);
    bool holds = lookup->by_load_address ? lookup->address == load_address
                                         : (lookup->address >= start && lookup->address < end);
    if (holds) {
      lookup->found = true;
      lookup->is_main_program = is_main;
      lookup->load_address = load_address;
      lookup->segment_start = start;
      lookup->segment_end = end;
      lookup->segment_flags = header.p_flags;
      lookup->host_path = is_main ? "" : info->dlpi_name;
      return 1;
    }
  }
  return 0;
}

std::string MainProgramHostPath() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

std::string ModuleHostPath(const ModuleLookup& module) {
  if (module.is_main_program) {
    return MainProgramHostPath();
  }
  if (char* real = realpath(module.host_path.c_str(), nullptr); real != nullptr) {
    std::string path = real;
    std::free(real);
    return path;
  }
  return module.host_path;
}

// Stands for kernel32's module handle: only its address is used.
char kernel32_module;

HMODULE Kernel32Handle() {
  return reinterpret_cast<HMODULE>(&kernel32_module);
}

bool IsKernel32Name(const char* name) {
  std::string lower;
  for (const char* at = name; *at != '\0'; ++at) {
    lower += static_cast<char>(std::tolower(static_cast<unsigned char>(*at)));
  }
  return lower == "kernel32" || lower == "kernel32.dll";
}

// Windows' rule for the fixed folders: the length without NUL when the text fits, else the
// size needed with it, the buffer untouched.
UINT CopyFolderText(const char* text, LPSTR buffer, size_t capacity) {
  size_t length = std::strlen(text);
  if (buffer == nullptr || capacity <= length) {
    return static_cast<UINT>(length + 1);
  }
  std::memcpy(buffer, text, length + 1);
  return static_cast<UINT>(length);
}

}  // namespace

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kGetModuleFileNameA, ""); fault != 0) {
    emu::Fail(fault);
    return 0;
  }
  std::string host;
  if (hModule == nullptr) {
    host = MainProgramHostPath();
  } else {
    ModuleLookup lookup;
    lookup.address = reinterpret_cast<std::uintptr_t>(hModule);
    lookup.by_load_address = true;
    dl_iterate_phdr(VisitModule, &lookup);
    if (!lookup.found) {
      emu::Fail(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    host = ModuleHostPath(lookup);
  }
  std::string path = emu::WindowsPath(host);
  if (nSize == 0 || lpFilename == nullptr) {
    emu::Fail(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() < nSize) {
    std::memcpy(lpFilename, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
  }
  std::memcpy(lpFilename, path.data(), nSize - 1);
  lpFilename[nSize - 1] = '\0';
  emu::Fail(ERROR_INSUFFICIENT_BUFFER);
  return nSize;
}

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kGetWindowsDirectoryA, ""); fault != 0) {
    emu::Fail(fault);
    return 0;
  }
  return CopyFolderText(kWindowsFolder, lpBuffer, uSize);
}

DWORD WINAPI GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kGetTempPathA, ""); fault != 0) {
    emu::Fail(fault);
    return 0;
  }
  return CopyFolderText(kTempFolder, lpBuffer, nBufferLength);
}

SIZE_T WINAPI VirtualQuery(LPCVOID lpAddress, PMEMORY_BASIC_INFORMATION lpBuffer, SIZE_T dwLength) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kVirtualQuery, ""); fault != 0) {
    emu::Fail(fault);
    return 0;
  }
  if (lpBuffer == nullptr || dwLength < sizeof(MEMORY_BASIC_INFORMATION)) {
    emu::Fail(kErrorBadLength);
    return 0;
  }
  // Only the images of loaded modules are described; the updater asks about its own code.
  ModuleLookup lookup;
  lookup.address = reinterpret_cast<std::uintptr_t>(lpAddress);
  dl_iterate_phdr(VisitModule, &lookup);
  if (!lookup.found) {
    emu::Fail(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::uintptr_t page = PageDown(lookup.address);
  *lpBuffer = MEMORY_BASIC_INFORMATION{};
  lpBuffer->BaseAddress = reinterpret_cast<LPVOID>(page);
  lpBuffer->AllocationBase = reinterpret_cast<LPVOID>(lookup.load_address);
  lpBuffer->AllocationProtect = kPageExecuteWritecopy;
  lpBuffer->RegionSize = lookup.segment_end - page;
  lpBuffer->State = MEM_COMMIT;
  if ((lookup.segment_flags & PF_X) != 0) {
    lpBuffer->Protect = PAGE_EXECUTE_READ;
  } else {
    lpBuffer->Protect = (lookup.segment_flags & PF_W) != 0 ? kPageReadwrite : kPageReadonly;
  }
  lpBuffer->Type = MEM_IMAGE;
  return sizeof(MEMORY_BASIC_INFORMATION);
}

void WINAPI ExitProcess(UINT uExitCode) {
  std::fflush(nullptr);
  // As on Windows, the program's own exit handlers and static destructors do not run.
  _exit(static_cast<int>(uExitCode));
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
  if (lpModuleName == nullptr || !IsKernel32Name(lpModuleName)) {
    emu::Fail(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return Kernel32Handle();
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (hModule != Kernel32Handle()) {
    emu::Fail(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (lpProcName == nullptr || std::strcmp(lpProcName, "SetDefaultDllDirectories") != 0) {
    emu::Fail(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SetDefaultDllDirectories));
}

BOOL WINAPI SetDefaultDllDirectories(DWORD DirectoryFlags) {
  constexpr DWORD kKnownFlags = LOAD_LIBRARY_SEARCH_APPLICATION_DIR |
                                LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32 |
                                LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
  if (DirectoryFlags == 0 || (DirectoryFlags & ~kKnownFlags) != 0) {
    emu::Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}
