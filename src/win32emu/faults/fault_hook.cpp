// The one fault hook of the process, asked by every fault point.
#include "win32emu/fault_hook.h"

#include <atomic>

#include "win32emu/faults/environment_faults.h"
#include "win32emu/faults/fault_points.h"

namespace emu {
namespace {

// Until a test installs its own, the faults the process's environment asks for take the
// first call and then leave their own hook, or none.
std::atomic<FaultHook> fault_hook{&FirstCallFaultHook};
std::atomic<void*> fault_context{nullptr};
std::atomic<bool> test_hook{false};
std::atomic<unsigned long long> calls_asked{0};
std::atomic<unsigned> threads_calling{0};
thread_local bool this_thread_counted = false;

}  // namespace

DWORD InjectedFault(FaultPoint point, const char* subject) {
  calls_asked.fetch_add(1, std::memory_order_relaxed);
  if (!this_thread_counted) {
    this_thread_counted = true;
    threads_calling.fetch_add(1, std::memory_order_relaxed);
  }
  FaultHook hook = fault_hook.load(std::memory_order_acquire);
  if (hook == nullptr) {
    return 0;
  }
  return hook(fault_context.load(std::memory_order_relaxed), FaultPointName(point),
              subject != nullptr ? subject : "");
}

unsigned long long CallsAsked() {
  return calls_asked.load(std::memory_order_relaxed);
}

unsigned ThreadsCalling() {
  return threads_calling.load(std::memory_order_relaxed);
}

bool TestHookInstalled() {
  return test_hook.load(std::memory_order_relaxed);
}

void SetFaultHook(FaultHook hook, void* context) {
  test_hook.store(hook != nullptr, std::memory_order_relaxed);
  fault_context.store(context, std::memory_order_relaxed);
  fault_hook.store(hook, std::memory_order_release);
}

bool ReplaceFirstCallFaultHook(FaultHook hook) {
  FaultHook expected = &FirstCallFaultHook;
  return fault_hook.compare_exchange_strong(expected, hook, std::memory_order_acq_rel);
}

}  // namespace emu
