#include "win32emu/faults/environment_faults.h"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "win32emu/faults/fault_points.h"
#include "win32emu/machine/log_escape.h"

namespace emu {
namespace {

// A fault plan that drives a run into a path of its own and fails a call there needs more than
// one fault; a handful is plenty.
constexpr size_t kMostFaults = 8;

struct Fault {
  unsigned long long at = 0;  // 0: no fault
  DWORD code = 0;
};

struct Asked {
  Fault faults[kMostFaults];
  unsigned long long kill_at = 0;  // 0: kill at no call
  bool kill_halfway = false;
  int trace_fd = -1;
  std::atomic<unsigned long long> calls{0};
};

Asked asked;
// Set by the hook for the call that is to end the process halfway, taken by that call.
std::atomic<bool> halfway_kill_pending{false};

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

void ReadKill(const char* kill) {
  std::string_view text(kill);
  std::string_view number = text.substr(0, text.find(':'));
  std::string_view moment = number.size() < text.size() ? text.substr(number.size() + 1) : "";
  if (!ParseNumber(number, asked.kill_at) || (number.size() < text.size() && moment != "half")) {
    RefuseFaults("WIN32EMU_KILL is not <call number> or <call number>:half", kill);
  }
  asked.kill_halfway = moment == "half";
}

void ReadFaults(const char* fault) {
  std::string_view text(fault);
  for (size_t at = 0, count = 0;; ++count) {
    size_t comma = std::min(text.find(',', at), text.size());
    std::string_view one = text.substr(at, comma - at);
    size_t colon = one.find(':');
    if (count == kMostFaults || colon == std::string_view::npos ||
        !ParseNumber(one.substr(0, colon), asked.faults[count].at) ||
        !ParseNumber(one.substr(colon + 1), asked.faults[count].code) ||
        (count > 0 && asked.faults[count].at <= asked.faults[count - 1].at)) {
      RefuseFaults("WIN32EMU_FAULT is not <call number>:<error code>[,...] in rising order", fault);
    }
    if (comma == text.size()) {
      return;
    }
    at = comma + 1;
  }
}

// True when the environment asks for faults; ends the process when what it asks is
// malformed or its trace cannot be written.
bool ReadEnvironment() {
  const char* fault = std::getenv("WIN32EMU_FAULT");
  const char* kill = std::getenv("WIN32EMU_KILL");
  const char* trace = std::getenv("WIN32EMU_TRACE");
  bool wanted = false;
  if (fault != nullptr && *fault != '\0') {
    ReadFaults(fault);
    wanted = true;
  }
  if (kill != nullptr && *kill != '\0') {
    ReadKill(kill);
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
  unsetenv("WIN32EMU_KILL");
  unsetenv("WIN32EMU_TRACE");
  return wanted;
}

void TraceCall(unsigned long long number, const char* call, const char* subject, DWORD fault,
               const char* kill = nullptr) {
  std::string line = std::to_string(number) + '\t' + call + '\t' + EscapeLogText(subject);
  if (kill != nullptr) {
    line += std::string("\t") + kill;
  } else if (fault != 0) {
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

// The asked kill at call `number`: at once, or left to the call to take halfway.
void Kill(unsigned long long number, const char* call, const char* subject) {
  const FaultPointEntry* entry = FindFaultPoint(call);
  bool halfway = asked.kill_halfway && entry != nullptr && entry->writes_data;
  if (asked.trace_fd >= 0) {
    TraceCall(number, call, subject, 0, halfway ? "killed halfway" : "killed");
  }
  if (!halfway) {
    EndAsKilled();
  }
  halfway_kill_pending.store(true, std::memory_order_relaxed);
}

DWORD EnvironmentHook(void*, const char* call, const char* subject) {
  unsigned long long number = asked.calls.fetch_add(1, std::memory_order_relaxed) + 1;
  if (number == asked.kill_at) {
    Kill(number, call, subject);
    return 0;
  }
  DWORD fault = 0;
  for (const Fault& asked_fault : asked.faults) {
    if (asked_fault.at == number) {
      fault = asked_fault.code;
    }
  }
  if (asked.trace_fd >= 0) {
    TraceCall(number, call, subject, fault);
  }
  return fault;
}

}  // namespace

void EndAsKilled() {
  kill(getpid(), SIGKILL);
  _exit(128 + SIGKILL);  // not reached: nothing runs after SIGKILL
}

HalfwayKill::HalfwayKill()
    : due_(halfway_kill_pending.load(std::memory_order_relaxed) &&
           halfway_kill_pending.exchange(false, std::memory_order_relaxed)) {}

HalfwayKill::~HalfwayKill() {
  if (due_) {
    EndAsKilled();
  }
}

void HalfwayKill::Now() {
  EndAsKilled();
}

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
