#include "win32emu/faults/fault_points.h"

#include <cstring>

namespace emu {
namespace {

constexpr DWORD kOpen[] = {2, 3, 5, 32, 112};
constexpr DWORD kRead[] = {5, 30};  // access denied, read fault
constexpr DWORD kWrite[] = {5, 32, 112};
// A seek to the start of a local file fails only where the device does.
constexpr DWORD kSeek[] = {87, 1117};
constexpr DWORD kClose[] = {5, 112};  // a close that writes out cached data meets a full disk
constexpr DWORD kMakeFolder[] = {3, 5, 183};
constexpr DWORD kAttributes[] = {2, 5};
constexpr DWORD kCopy[] = {5, 32, 112};
constexpr DWORD kDelete[] = {5, 32};
// A rename within the volume: the source held without delete sharing (32), the target held
// open, or a folder with a file held inside it, by a virus scanner or an indexer (5), a name
// that appeared meanwhile (183), a source taken away behind the run (2).
constexpr DWORD kMove[] = {2, 5, 32, 183};
// An empty folder's removal: the folder held open (32), a file that appeared in it (145).
constexpr DWORD kRemoveFolder[] = {5, 32, 145};
constexpr DWORD kFind[] = {3, 5, 18};
constexpr DWORD kBufferTooSmall[] = {122};  // the one way a folder query fails
constexpr DWORD kStart[] = {2, 5};
// The run lock: a name held by another kind of object (6), or by a program that lets nobody
// else open it (5); a wait that fails.
constexpr DWORD kMutex[] = {5, 6};
constexpr DWORD kWait[] = {6};
constexpr DWORD kOpenKey[] = {2, 5};
constexpr DWORD kQueryValue[] = {5, 234};
constexpr DWORD kSetValue[] = {5, 1013};
constexpr DWORD kCloseKey[] = {6};
// Never swept: a failed Windows folder query would point the run at the host's root folder;
// VirtualQuery and MessageBoxA come only on the way to the error box; the run never releases
// its lock; Sleep cannot fail (it asks the hook so that a trace shows it and a kill can
// come while the process waits).
constexpr std::span<const DWORD> kNever;

constexpr FaultPointEntry kTable[] = {
    {FaultPoint::kCreateFileA, "CreateFileA", kOpen},
    {FaultPoint::kReadFile, "ReadFile", kRead},
    {FaultPoint::kWriteFile, "WriteFile", kWrite, true},
    {FaultPoint::kSetFilePointer, "SetFilePointer", kSeek},
    {FaultPoint::kCloseHandle, "CloseHandle", kClose},
    {FaultPoint::kCreateDirectoryA, "CreateDirectoryA", kMakeFolder},
    {FaultPoint::kGetFileAttributesA, "GetFileAttributesA", kAttributes},
    {FaultPoint::kSetFileAttributesA, "SetFileAttributesA", kAttributes},
    {FaultPoint::kCopyFileA, "CopyFileA", kCopy, true},
    {FaultPoint::kDeleteFileA, "DeleteFileA", kDelete},
    {FaultPoint::kMoveFileExA, "MoveFileExA", kMove},
    {FaultPoint::kMoveFileA, "MoveFileA", kMove},
    {FaultPoint::kRemoveDirectoryA, "RemoveDirectoryA", kRemoveFolder},
    {FaultPoint::kFindFirstFileA, "FindFirstFileA", kFind},
    {FaultPoint::kFindNextFileA, "FindNextFileA", kFind},
    {FaultPoint::kFindFirstFileW, "FindFirstFileW", kFind},
    {FaultPoint::kFindNextFileW, "FindNextFileW", kFind},
    {FaultPoint::kGetModuleFileNameA, "GetModuleFileNameA", kBufferTooSmall},
    {FaultPoint::kGetWindowsDirectoryA, "GetWindowsDirectoryA", kNever},
    {FaultPoint::kGetTempPathA, "GetTempPathA", kBufferTooSmall},
    {FaultPoint::kVirtualQuery, "VirtualQuery", kNever},
    {FaultPoint::kCreateProcessA, "CreateProcessA", kStart},
    {FaultPoint::kSleep, "Sleep", kNever},
    {FaultPoint::kCreateMutexA, "CreateMutexA", kMutex},
    {FaultPoint::kWaitForSingleObject, "WaitForSingleObject", kWait},
    {FaultPoint::kReleaseMutex, "ReleaseMutex", kNever},
    {FaultPoint::kRegOpenKeyExA, "RegOpenKeyExA", kOpenKey},
    {FaultPoint::kRegQueryValueExA, "RegQueryValueExA", kQueryValue},
    {FaultPoint::kRegSetValueExA, "RegSetValueExA", kSetValue},
    {FaultPoint::kRegDeleteValueA, "RegDeleteValueA", kSetValue},
    {FaultPoint::kRegCloseKey, "RegCloseKey", kCloseKey},
    {FaultPoint::kMessageBoxA, "MessageBoxA", kNever},
};

// The table is looked up by position: each row must stand at its point's place.
constexpr bool InOrder() {
  for (size_t i = 0; i < std::size(kTable); ++i) {
    if (static_cast<size_t>(kTable[i].point) != i) {
      return false;
    }
  }
  return true;
}
static_assert(InOrder() && std::size(kTable) == static_cast<size_t>(FaultPoint::kMessageBoxA) + 1,
              "one fault point row for each FaultPoint, in its order");

}  // namespace

std::span<const FaultPointEntry> FaultPoints() {
  return kTable;
}

const char* FaultPointName(FaultPoint point) {
  return kTable[static_cast<size_t>(point)].call;
}

const FaultPointEntry* FindFaultPoint(const char* call) {
  for (const FaultPointEntry& entry : kTable) {
    if (std::strcmp(entry.call, call) == 0) {
      return &entry;
    }
  }
  return nullptr;
}

}  // namespace emu
