// The emulated machine's handle table, shared by every kind of object a handle can name
// (open files, search handles, processes). CloseHandle and FindClose remove entries here.
#pragma once

#include <memory>
#include <string>

#include "win32emu/emulated_win32.h"

namespace emu {

// An object behind a handle; each kind frees its host resources in its destructor.
struct HandleObject {
  virtual ~HandleObject() = default;
  // What the fault hook is told for calls on this handle: the Windows path it was opened
  // with.
  std::string subject;
};

// Adds `object` and returns its new handle: pointer-sized, never 0 nor INVALID_HANDLE_VALUE.
HANDLE AddHandle(std::unique_ptr<HandleObject> object);

// The object behind `handle`, or nullptr when the handle is not open. The pointer stays
// valid until the handle is removed.
HandleObject* FindHandle(HANDLE handle);

// The object behind `handle` when it is of kind T, else nullptr.
template <typename T>
T* FindHandleOf(HANDLE handle) {
  return dynamic_cast<T*>(FindHandle(handle));
}

// Takes `handle` out of the table and hands its object back (nullptr when not open).
std::unique_ptr<HandleObject> RemoveHandle(HANDLE handle);

}  // namespace emu
