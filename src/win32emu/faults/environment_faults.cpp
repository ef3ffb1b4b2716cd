#include "platform/fault_plan.h"

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

#include "platform/log_escape.h"

namespace emu {
namespace {

struct Plan {
  unsigned long long fail_at = 0;  // 0: fail nothing
  DWORD code = 0;
  int trace_fd = -1;
  std::atomic<unsigned long long> calls{0};
};

Plan plan;

// A plan that cannot be carried out would make the run another than the one asked for.
[[noreturn]] void RefusePlan(const char* what, const char* text) {
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

// True when the environment asks for a plan; ends the process when it asks for one that is
// malformed or whose trace cannot be written.
bool ReadPlan() {
  const char* fault = std::getenv("WIN32EMU_FAULT");
  const char* trace = std::getenv("WIN32EMU_TRACE");
  bool wanted = false;
  if (fault != nullptr && *fault != '\0') {
    std::string_view text(fault);
    size_t colon = text.find(':');
    if (colon == std::string_view::npos || !ParseNumber(text.substr(0, colon), plan.fail_at) ||
        !ParseNumber(text.substr(colon + 1), plan.code)) {
      RefusePlan("WIN32EMU_FAULT is not <call number>:<error code>", fault);
    }
    wanted = true;
  }
  if (trace != nullptr && *trace != '\0') {
    plan.trace_fd = open(trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (plan.trace_fd < 0) {
      RefusePlan(std::strerror(errno), trace);
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
    ssize_t wrote = write(plan.trace_fd, line.data() + done, line.size() - done);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote <= 0) {
      RefusePlan("the trace cannot be written", std::strerror(errno));
    }
    done += static_cast<size_t>(wrote);
  }
}

DWORD PlanHook(void*, const char* call, const char* subject) {
  unsigned long long number = plan.calls.fetch_add(1, std::memory_order_relaxed) + 1;
  DWORD fault = number == plan.fail_at ? plan.code : 0;
  if (plan.trace_fd >= 0) {
    TraceCall(number, call, subject, fault);
  }
  return fault;
}

}  // namespace

DWORD FirstCallFaultHook(void* context, const char* call, const char* subject) {
  static const bool planned = ReadPlan();
  if (!planned) {
    ReplaceFirstCallFaultHook(nullptr);
    return 0;
  }
  ReplaceFirstCallFaultHook(&PlanHook);
  return PlanHook(context, call, subject);
}

}  // namespace emu
