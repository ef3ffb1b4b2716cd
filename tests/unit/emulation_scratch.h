// Host-side set-up for tests of the emulation: folders and files made directly on the host,
// under the fresh machine's C:\TEMP, and a fault hook that fails one chosen call.
#pragma once

#include <sys/stat.h>
#include <unistd.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "platform/fault_hook.h"
#include "platform/machine.h"

namespace emulation_test {

// A new, empty host folder; its host path, without a trailing '/'.
inline std::string NewHostFolder() {
  static int counter = 0;
  for (;;) {
    std::string path = emu::MachineRoot() + "/drive_c/TEMP/unit" + std::to_string(getpid()) + "_" +
                       std::to_string(++counter);
    if (mkdir(path.c_str(), 0777) == 0) {
      return path;
    }
  }
}

inline void WriteHostFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return "<missing>";
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string Windows(const std::string& host_path) {
  return emu::WindowsPath(host_path);
}

// While alive, makes `call` on `subject` fail with `code`; records what it was asked.
class InjectedFailure {
 public:
  InjectedFailure(std::string call, std::string subject, DWORD code)
      : call_(std::move(call)), subject_(std::move(subject)), code_(code) {
    emu::SetFaultHook(&Ask, this);
  }
  ~InjectedFailure() { emu::SetFaultHook(nullptr, nullptr); }
  InjectedFailure(const InjectedFailure&) = delete;
  InjectedFailure& operator=(const InjectedFailure&) = delete;

  // How often the call was asked about its subject.
  int hits() const { return hits_; }

 private:
  static DWORD Ask(void* context, const char* call, const char* subject) {
    auto* self = static_cast<InjectedFailure*>(context);
    if (self->call_ != call || self->subject_ != subject) {
      return 0;
    }
    ++self->hits_;
    return self->code_;
  }
  std::string call_;
  std::string subject_;
  DWORD code_;
  int hits_ = 0;
};

}  // namespace emulation_test
