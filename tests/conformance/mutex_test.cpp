// CreateMutexA, WaitForSingleObject, ReleaseMutex and CloseHandle on named mutexes: one
// object per name, its owner's rules, and another process that holds it and ends without
// releasing it (tests/tools/mutex_holder).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace {

// A name of this test run's own, so that runs on one machine do not meet.
std::string MutexName(const char* what) {
  char module[1024];
  DWORD length = GetModuleFileNameA(nullptr, module, sizeof module);
  unsigned hash = 5381;
  for (DWORD at = 0; at < length; ++at) {
    hash = hash * 33 + static_cast<unsigned char>(module[at]);
  }
  return "Global\\QuestUpdaterConformance-" + std::to_string(hash) + "-" + what;
}

TEST(NamedMutex, OneObjectPerName) {
  const std::string name = MutexName("one");
  SetLastError(0xDEAD);
  HANDLE first = CreateMutexA(nullptr, FALSE, name.c_str());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), 0u);

  SetLastError(0);
  HANDLE second = CreateMutexA(nullptr, FALSE, name.c_str());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_NE(second, first);

  // Taken through one handle, held through the other: the owner may take it again, and must
  // release it as often as it took it.
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(second));
  EXPECT_TRUE(ReleaseMutex(first));
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(first));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

  // Names differ by case: another object.
  std::string other_case = name;
  other_case.back() = 'E';
  SetLastError(0xDEAD);
  HANDLE third = CreateMutexA(nullptr, FALSE, other_case.c_str());
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(GetLastError(), 0u);

  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_TRUE(CloseHandle(third));
  // With every handle closed the object is gone; the name makes a new one.
  SetLastError(0xDEAD);
  HANDLE again = CreateMutexA(nullptr, FALSE, name.c_str());
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_TRUE(CloseHandle(again));
}

TEST(NamedMutex, InitialOwnerOnlyForItsCreator) {
  const std::string name = MutexName("initial");
  HANDLE created = CreateMutexA(nullptr, TRUE, name.c_str());
  ASSERT_NE(created, nullptr);
  EXPECT_TRUE(ReleaseMutex(created));
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(created));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

  HANDLE opened = CreateMutexA(nullptr, TRUE, name.c_str());
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(opened));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
  EXPECT_TRUE(CloseHandle(opened));
  EXPECT_TRUE(CloseHandle(created));
}

TEST(NamedMutex, ClosedHandleIsInvalid) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, MutexName("closed").c_str());
  ASSERT_NE(mutex, nullptr);
  ASSERT_TRUE(CloseHandle(mutex));
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// The holder's path in Windows form: the host's '/' is drive Z: on both.
std::string HolderPath() {
  std::string path = "Z:";
  for (const char* at = MUTEX_HOLDER; *at != '\0'; ++at) {
    path += *at == '/' ? '\\' : *at;
  }
  return path;
}

TEST(NamedMutex, AnotherProcessHoldsItThenAbandonsIt) {
  // The holder's name when started without arguments.
  const char* name = "Global\\QuestUpdaterConformanceHolder";
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  ASSERT_NE(mutex, nullptr);

  std::string holder = HolderPath();
  std::string command_line = holder;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  ASSERT_TRUE(CreateProcessA(holder.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0,
                             nullptr, nullptr, &startup, &started))
      << holder << ": " << GetLastError();
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);

  // Until the holder has it, a wait takes it: give it back at once and look again.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(20);
  DWORD seen = WAIT_OBJECT_0;
  while (Clock::now() < give_up) {
    seen = WaitForSingleObject(mutex, 0);
    if (seen != WAIT_OBJECT_0) {
      break;
    }
    ReleaseMutex(mutex);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(seen, static_cast<DWORD>(WAIT_TIMEOUT)) << "the holder never took the mutex";

  // Held elsewhere: a wait with a time limit waits that long, and no release is ours to make.
  Clock::time_point began = Clock::now();
  EXPECT_EQ(WaitForSingleObject(mutex, 200), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_GE(Clock::now() - began, std::chrono::milliseconds(180));
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

  // The holder ends without releasing it: the next wait gets it, abandoned, and owns it.
  EXPECT_EQ(WaitForSingleObject(mutex, 20000), WAIT_ABANDONED);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  // Released properly, it is no longer abandoned.
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(CloseHandle(mutex));
}

}  // namespace
