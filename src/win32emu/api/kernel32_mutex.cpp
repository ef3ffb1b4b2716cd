// Named mutexes shared by every process on the emulated machine: CreateMutexA,
// WaitForSingleObject on a mutex, ReleaseMutex; CloseHandle closes them as any handle.
//
// Each name is a file under <root>/mutexes/, held open by every process with a handle to it
// and carrying open-file-description locks: a shared lock on kOpenMark while the process has
// a handle (so that a creator learns whether the mutex exists already), an exclusive one on
// kOwnedMark while it owns the mutex, and a short exclusive one on kGuardMark while a process
// decides whether it makes the mutex anew. The locks go with their process, however it ends.
// The file's first byte says whether an owner holds the mutex: an owner that ends without
// releasing it leaves '1', and the next process to take it learns that it was abandoned.
// Ownership is the process's, where Windows gives it to a thread.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "win32emu/faults/fault_points.h"
#include "win32emu/machine/handle_table.h"
#include "win32emu/machine/machine.h"

namespace {

constexpr off_t kOpenMark = 0;
constexpr off_t kOwnedMark = 1;
constexpr off_t kGuardMark = 2;
constexpr char kHeld = '1';
constexpr char kFree = '0';

// A mutex as this process sees it: one per name, shared by all of the process's handles.
struct Mutex {
  int fd = -1;         // -1: a mutex without a name, known to this process only
  unsigned owned = 0;  // how often this process has taken it and not yet released it
  ~Mutex() {
    // Closing drops the locks; an owner's '1' stays, so the mutex reads as abandoned.
    if (fd >= 0) {
      close(fd);
    }
  }
};

struct MutexHandle : emu::HandleObject {
  std::shared_ptr<Mutex> mutex;
};

std::mutex names_mutex;
std::map<std::string, std::weak_ptr<Mutex>> names;

bool Lock(int fd, short type, off_t mark, bool wait) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = mark;
  lock.l_len = 1;
  int result;
  do {
    result = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
  } while (result != 0 && errno == EINTR && wait);
  return result == 0;
}

// True when another open description of the file holds a lock on `mark`.
bool OthersHold(int fd, off_t mark) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = mark;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

bool WriteState(int fd, char state) {
  return pwrite(fd, &state, 1, 0) == 1;
}

// The file that stands for `name`: bytes that a file name may not hold, and a leading '.',
// are written as %XX.
std::string MutexFile(const std::string& name) {
  std::string file = emu::MachineRoot() + "/mutexes/";
  for (size_t at = 0; at < name.size(); ++at) {
    unsigned char c = static_cast<unsigned char>(name[at]);
    bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                 c == '-' || c == '_' || (c == '.' && at > 0);
    if (plain) {
      file += static_cast<char>(c);
    } else {
      static const char kHex[] = "0123456789ABCDEF";
      file += '%';
      file += kHex[c >> 4];
      file += kHex[c & 15];
    }
  }
  return file;
}

// Opens the machine-wide mutex `name` for this process. `created` tells whether no process
// had it open before. Returns nullptr, with the last error set, when it cannot be opened.
std::shared_ptr<Mutex> OpenNamed(const std::string& name, bool& created) {
  std::string path = MutexFile(name);
  mkdir((emu::MachineRoot() + "/mutexes").c_str(), 0777);
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    SetLastError(emu::ErrorFromErrno(errno, path));
    return nullptr;
  }
  auto mutex = std::make_shared<Mutex>();
  mutex->fd = fd;
  // One process at a time decides whether the mutex is new: with no other process holding it
  // open, a '1' left by an owner long gone belongs to a mutex that no longer exists.
  if (!Lock(fd, F_WRLCK, kGuardMark, true)) {
    SetLastError(emu::ErrorFromErrno(errno, path));
    return nullptr;
  }
  created = !OthersHold(fd, kOpenMark);
  bool ready = (!created || WriteState(fd, kFree)) && Lock(fd, F_RDLCK, kOpenMark, false);
  int err = errno;
  Lock(fd, F_UNLCK, kGuardMark, false);
  if (!ready) {
    SetLastError(emu::ErrorFromErrno(err, path));
    return nullptr;
  }
  return mutex;
}

// Takes the mutex if no other process owns it: WAIT_OBJECT_0, WAIT_ABANDONED when its last
// owner ended without releasing it, or WAIT_TIMEOUT.
DWORD TryTake(Mutex& mutex) {
  if (mutex.owned > 0 || mutex.fd < 0) {
    ++mutex.owned;
    return WAIT_OBJECT_0;
  }
  if (!Lock(mutex.fd, F_WRLCK, kOwnedMark, false)) {
    return WAIT_TIMEOUT;
  }
  char state = kFree;
  bool abandoned = pread(mutex.fd, &state, 1, 0) == 1 && state == kHeld;
  WriteState(mutex.fd, kHeld);
  mutex.owned = 1;
  return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

// The machine's longest timed wait in milliseconds ($WIN32EMU_WAIT_LIMIT), or INFINITE.
DWORD WaitLimit() {
  static const DWORD limit = [] {
    const char* text = std::getenv("WIN32EMU_WAIT_LIMIT");
    char* end = nullptr;
    unsigned long value = text != nullptr ? std::strtoul(text, &end, 10) : 0;
    return end != nullptr && end != text && *end == '\0' && value < INFINITE
               ? static_cast<DWORD>(value)
               : INFINITE;
  }();
  return limit;
}

}  // namespace

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kCreateMutexA, lpName); fault != 0) {
    SetLastError(fault);
    return nullptr;
  }
  std::string name = lpName != nullptr ? lpName : "";
  std::shared_ptr<Mutex> mutex;
  bool created = true;
  if (name.empty()) {
    mutex = std::make_shared<Mutex>();
  } else {
    std::lock_guard<std::mutex> lock(names_mutex);
    mutex = names[name].lock();
    if (mutex) {
      created = false;
    } else {
      mutex = OpenNamed(name, created);
      if (!mutex) {
        return nullptr;
      }
      names[name] = mutex;
    }
  }
  // Only a creator may take the mutex at once; an existing one is merely opened.
  if (created && bInitialOwner) {
    TryTake(*mutex);
  }
  auto handle = std::make_unique<MutexHandle>();
  handle->subject = name;
  handle->mutex = std::move(mutex);
  HANDLE result = emu::AddHandle(std::move(handle));
  SetLastError(created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
  return result;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  MutexHandle* handle = emu::FindHandleOf<MutexHandle>(hHandle);
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kWaitForSingleObject,
                                       handle != nullptr ? handle->subject.c_str() : "");
      fault != 0) {
    SetLastError(fault);
    return WAIT_FAILED;
  }
  if (handle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  std::shared_ptr<Mutex> mutex = handle->mutex;
  DWORD wait =
      dwMilliseconds != INFINITE && dwMilliseconds > WaitLimit() ? WaitLimit() : dwMilliseconds;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(wait);
  // The holder is asked again and again, at most 20 ms apart: the locks cannot wait with a
  // time limit.
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    DWORD taken = TryTake(*mutex);
    if (taken != WAIT_TIMEOUT) {
      return taken;
    }
    Clock::time_point now = Clock::now();
    if (wait != INFINITE && now >= deadline) {
      return WAIT_TIMEOUT;
    }
    auto next = wait == INFINITE ? pause : std::min<Clock::duration>(pause, deadline - now);
    std::this_thread::sleep_for(next);
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  MutexHandle* handle = emu::FindHandleOf<MutexHandle>(hMutex);
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kReleaseMutex,
                                       handle != nullptr ? handle->subject.c_str() : "");
      fault != 0) {
    return emu::Fail(fault);
  }
  if (handle == nullptr) {
    return emu::Fail(ERROR_INVALID_HANDLE);
  }
  Mutex& mutex = *handle->mutex;
  if (mutex.owned == 0) {
    return emu::Fail(ERROR_NOT_OWNER);
  }
  if (--mutex.owned == 0 && mutex.fd >= 0) {
    WriteState(mutex.fd, kFree);
    Lock(mutex.fd, F_UNLCK, kOwnedMark, false);
  }
  return TRUE;
}
