#include "win32emu/machine/handle_table.h"

#include <cstdint>
#include <map>
#include <mutex>

namespace emu {
namespace {

std::mutex table_mutex;

std::map<std::uintptr_t, std::unique_ptr<HandleObject>>& Table() {
  static std::map<std::uintptr_t, std::unique_ptr<HandleObject>> table;
  return table;
}

// Values are not reused, so that a handle used after its close is reported as invalid
// rather than reaching a newer object. Multiples of 4 as Windows gives them.
std::uintptr_t next_value = 0x100;

}  // namespace

HANDLE AddHandle(std::unique_ptr<HandleObject> object) {
  std::lock_guard<std::mutex> lock(table_mutex);
  std::uintptr_t value = next_value;
  next_value += 4;
  Table().emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

HandleObject* FindHandle(HANDLE handle) {
  std::lock_guard<std::mutex> lock(table_mutex);
  auto found = Table().find(reinterpret_cast<std::uintptr_t>(handle));
  return found == Table().end() ? nullptr : found->second.get();
}

std::unique_ptr<HandleObject> RemoveHandle(HANDLE handle) {
  std::unique_ptr<HandleObject> object;
  {
    std::lock_guard<std::mutex> lock(table_mutex);
    auto found = Table().find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == Table().end()) {
      return nullptr;
    }
    object = std::move(found->second);
    Table().erase(found);
  }
  return object;
}

}  // namespace emu
