// GetModuleFileNameA, GetWindowsDirectoryA, GetTempPathA and VirtualQuery: what they report
// and their buffer rules; GetModuleHandleA, GetProcAddress and SetDefaultDllDirectories.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "test_machine.h"

namespace {

std::string ModulePath(HMODULE module) {
  char buffer[1024];
  DWORD length = GetModuleFileNameA(module, buffer, sizeof buffer);
  return length < sizeof buffer ? std::string(buffer, length) : std::string();
}

bool SameIgnoringCase(const std::string& left, const std::string& right) {
  if (left.size() != right.size()) {
    return false;
  }
  for (size_t at = 0; at < left.size(); ++at) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (lower(left[at]) != lower(right[at])) {
      return false;
    }
  }
  return true;
}

TEST(ModulePath, NamesTheRunningProgram) {
  char buffer[1024];
  SetLastError(0xDEAD);
  DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  ASSERT_GT(length, 3u);
  ASSERT_LT(length, sizeof buffer);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(std::strlen(buffer), length);
  EXPECT_EQ(buffer[1], ':');
  EXPECT_EQ(buffer[2], '\\');
  EXPECT_NE(std::string(buffer).find("platform_conformance"), std::string::npos);
  DWORD attributes = GetFileAttributesA(buffer);
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST(ModulePath, TruncatesIntoASmallBuffer) {
  std::string full = ModulePath(nullptr);
  ASSERT_FALSE(full.empty());
  const DWORD length = static_cast<DWORD>(full.size());
  char buffer[1024];

  // Too small by far: the start of the path, the buffer's size, ERROR_INSUFFICIENT_BUFFER.
  // Windows also ends the buffer with NUL there; Wine does not, so that byte goes unchecked.
  std::memset(buffer, 'x', sizeof buffer);
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, 5), 5u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::string(buffer, 4), full.substr(0, 4));
  EXPECT_EQ(buffer[5], 'x');

  // No room for the NUL counts as too small.
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, length), length);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::string(buffer, length - 1), full.substr(0, length - 1));

  SetLastError(0xDEAD);
  EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, length + 1), length);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(std::string(buffer), full);

  std::memset(buffer, 'x', sizeof buffer);
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, 0), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(buffer[0], 'x');
}

TEST(ModulePath, UnknownModuleFails) {
  char buffer[64];
  SetLastError(0);
  EXPECT_EQ(
      GetModuleFileNameA(reinterpret_cast<HMODULE>(std::uintptr_t{0x1234}), buffer, sizeof buffer),
      0u);
  EXPECT_EQ(GetLastError(), 126u);  // ERROR_MOD_NOT_FOUND
}

TEST(CodeRegion, FindsTheModuleThatHoldsCode) {
  auto* code = reinterpret_cast<const void*>(&ModulePath);
  MEMORY_BASIC_INFORMATION region;
  std::memset(&region, 0, sizeof region);
  ASSERT_EQ(VirtualQuery(code, &region, sizeof region), sizeof region);
  auto at = reinterpret_cast<std::uintptr_t>(code);
  auto base = reinterpret_cast<std::uintptr_t>(region.BaseAddress);
  auto allocation = reinterpret_cast<std::uintptr_t>(region.AllocationBase);
  EXPECT_EQ(base % 4096, 0u);
  EXPECT_LE(allocation, base);
  EXPECT_LE(base, at);
  EXPECT_LT(at, base + region.RegionSize);
  EXPECT_EQ(region.State, MEM_COMMIT);
  EXPECT_EQ(region.Type, MEM_IMAGE);
  EXPECT_EQ(region.Protect, PAGE_EXECUTE_READ);
  // The allocation base is the module's own handle.
  EXPECT_EQ(ModulePath(reinterpret_cast<HMODULE>(region.AllocationBase)), ModulePath(nullptr));
}

TEST(CodeRegion, RefusesAShortBuffer) {
  MEMORY_BASIC_INFORMATION region;
  EXPECT_EQ(VirtualQuery(reinterpret_cast<const void*>(&ModulePath), &region, 4), 0u);
}

TEST(WindowsFolder, TextAndBufferRules) {
  char buffer[64];
  UINT length = GetWindowsDirectoryA(buffer, sizeof buffer);
  ASSERT_EQ(length, std::strlen(buffer));
  EXPECT_TRUE(SameIgnoringCase(buffer, "C:\\WINDOWS")) << buffer;
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(GetWindowsDirectoryA(buffer, length), length + 1);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(GetWindowsDirectoryA(nullptr, 0), length + 1);
  EXPECT_EQ(GetWindowsDirectoryA(buffer, length + 1), length);
  EXPECT_EQ(buffer[length], '\0');
}

TEST(TempFolder, AnExistingFolderEndingInSeparator) {
  char buffer[1024];
  DWORD length = GetTempPathA(sizeof buffer, buffer);
  ASSERT_GT(length, 3u);
  ASSERT_EQ(length, std::strlen(buffer));
  EXPECT_EQ(buffer[1], ':');
  EXPECT_EQ(buffer[length - 1], '\\');
  DWORD attributes = GetFileAttributesA(buffer);
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  std::string full(buffer);

  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(GetTempPathA(length, buffer), length + 1);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(GetTempPathA(3, buffer), length + 1);
  EXPECT_EQ(GetTempPathA(0, nullptr), length + 1);
  EXPECT_EQ(GetTempPathA(length + 1, buffer), length);
  EXPECT_EQ(std::string(buffer), full);
}

// The DLL search restriction, looked up as the updater looks it up.
TEST(DllSearch, SetDefaultDllDirectoriesFoundInKernel32) {
  SetLastError(0);
  EXPECT_EQ(GetModuleHandleA("no_such_module.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
  ASSERT_NE(kernel, nullptr);
  EXPECT_EQ(GetModuleHandleA("kernel32.dll"), kernel);

  SetLastError(0);
  EXPECT_EQ(GetProcAddress(kernel, "NoSuchCall"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
  auto set_directories = reinterpret_cast<SetDefaultDllDirectoriesCall>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  ASSERT_NE(set_directories, nullptr);

  SetLastError(0);
  EXPECT_FALSE(set_directories(0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(set_directories(LOAD_LIBRARY_SEARCH_SYSTEM32));
}

}  // namespace
