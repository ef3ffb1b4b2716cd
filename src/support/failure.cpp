#include "support/failure.h"

#include <cstdio>

#include "platform/platform.h"

EInOutError::EInOutError(std::int32_t code, const void* raised_at)
    : EInOutError(code, IoErrorText(code), raised_at) {}

EInOutError::EInOutError(std::int32_t code, std::string message, const void* raised_at)
    : Exception(std::move(message), raised_at), code_(code) {}

std::string IoErrorText(std::int32_t code) {
  switch (code) {
    case 2:
      return "File not found";
    case 3:
      return "Invalid filename";
    case 4:
      return "Too many open files";
    case 5:
      return "File access denied";
    case 100:
      return "Read beyond end of file";
    case 101:
      return "Disk full";
    case 106:
      return "Invalid numeric input";
    // A name that appeared where a file was being created new (CopyList.lis).
    case 80:
      return "File exists";
    default:
      return "I/O error " + std::to_string(code);
  }
}

std::string FailureText(const std::string& class_name, const std::string& module_name,
                        std::uintptr_t offset, const std::string& message) {
  char address[16];
  std::snprintf(address, sizeof address, "%08X", static_cast<unsigned>(offset & 0xFFFFFFFFu));
  std::string text =
      "Exception " + class_name + " in module " + module_name + " at " + address + ".\n" + message;
  if (!message.empty() && message.back() != '.') {
    text += '.';
  }
  // The box takes at most 1023 characters.
  if (text.size() > 1023) {
    text.resize(1023);
  }
  return text;
}

namespace {

// The file name of the running module, from after the last '\' of its path. The buffer
// holds the longest path there can be, so that the name is whole even where the package
// folder is too long for the package's own files; it is static, since a failure may be out
// of memory.
std::string ModuleName() {
  static char path[32768];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string name(path, length < sizeof path ? length : 0);
  size_t slash = name.rfind('\\');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

// The address relative to the load address of the module that holds it.
std::uintptr_t ModuleOffset(const void* address) {
  MEMORY_BASIC_INFORMATION region;
  if (address == nullptr || VirtualQuery(address, &region, sizeof region) == 0) {
    return reinterpret_cast<std::uintptr_t>(address);
  }
  return reinterpret_cast<std::uintptr_t>(address) -
         reinterpret_cast<std::uintptr_t>(region.AllocationBase);
}

}  // namespace

void ReportFailure(const std::string& class_name, const std::string& message,
                   const void* raised_at) {
  std::string text = FailureText(class_name, ModuleName(), ModuleOffset(raised_at), message);
  MessageBoxA(nullptr, text.c_str(), "Application Error", MB_OK | MB_ICONSTOP | MB_TASKMODAL);
  ExitProcess(1);
}

void ReportFailure(const Exception& failure) {
  ReportFailure(failure.ClassName(), failure.Message(), failure.RaisedAt());
}
