#include "win32emu/faults/environment_faults.h"

#include <fcntl.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "win32emu/machine/log_escape.h"

namespace emu {
namespace {

struct Asked {
  unsigned long long fail_at = 0;  // 0: fail nothing
  DWORD code = 0;
  int trace_fd = -1;
  std::atomic<unsigned long long> calls{0};
};

Asked asked;

// Faults that cannot be injected as asked would make the run another than the one asked for.
[[noreturn]] void RefuseFaults(const char* what, const char* text) {
  std::fprintf(stderr, "win32emu: %s: %s\n", what, text);
  std::fflush(stderr);
  _exit(125);
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& number) {
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, number);
  return error == std::errc() && stop == end && number != 0;
}

// True when the environment asks for faults; ends the process when what it asks is
// malformed or its trace cannot be written.
bool ReadEnvironment() {
  const char* fault = std::getenv("WIN32EMU_FAULT");
  const char* trace = std::getenv("WIN32EMU_TRACE");
  bool wanted = false;
  if (fault != nullptr && *fault != '\0') {
    std::string_view text(fault);
    size_t colon = text.find(':');
    if (colon == std::string_view::npos || !ParseNumber(text.substr(0, colon), asked.fail_at) ||
        !ParseNumber(text.substr(colon + 1), asked.code)) {
      RefuseFaults("WIN32EMU_FAULT is not <call number>:<error code>", fault);
    }
    wanted = true;
  }
  if (trace != nullptr && *trace != '\0') {
    asked.trace_fd = open(trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (asked.trace_fd < 0) {
      RefuseFaults(std::strerror(errno), trace);
    }
    wanted = true;
  }
  unsetenv("WIN32EMU_FAULT");
  unsetenv("WIN32EMU_TRACE");
  return wanted;
}

void TraceCall(unsigned long long number, const char* call, const char* subject, DWORD fault) {
  std::string line = std::to_string(number) + '\t' + call + '\t' + EscapeLogText(subject);
  if (fault != 0) {
    line += '\t' + std::to_string(fault);
  }
  line += '\n';
  // One write per line: lines of processes sharing the file do not interleave.
  for (size_t done = 0; done < line.size();) {
    ssize_t wrote = write(asked.trace_fd, line.data() + done, line.size() - done);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote <= 0) {
      RefuseFaults("the trace cannot be written", std::strerror(errno));
    }
    done += static_cast<size_t>(wrote);
  }
}

DWORD EnvironmentHook(void*, const char* call, const char* subject) {
  unsigned long long number = asked.calls.fetch_add(1, std::memory_order_relaxed) + 1;
  DWORD fault = number == asked.fail_at ? asked.code : 0;
  if (asked.trace_fd >= 0) {
    TraceCall(number, call, subject, fault);
  }
  return fault;
}

}  // namespace

DWORD FirstCallFaultHook(void* context, const char* call, const char* subject) {
  static const bool asked_for = ReadEnvironment();
  if (!asked_for) {
    ReplaceFirstCallFaultHook(nullptr);
    return 0;
  }
  ReplaceFirstCallFaultHook(&EnvironmentHook);
  return EnvironmentHook(context, call, subject);
}

}  // namespace emu
