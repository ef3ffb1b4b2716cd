// The emulated registry calls over the machine's system.reg: buffers, the file they leave,
// faults in the file, concurrent writers, a writer killed and injected failures.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/platform.h"
#include "win32emu/fault_hook.h"
#include "win32emu/machine/machine.h"

namespace {

const std::string kKey = "Software\\QuestGame";

std::string StoreFile() {
  return emu::MachineRoot() + "/system.reg";
}

void WriteStore(const std::string& text) {
  std::ofstream(StoreFile(), std::ios::binary | std::ios::trunc) << text;
}

std::string ReadStore() {
  std::ifstream in(StoreFile(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Each test starts from the same small hive.
class EmulatedRegistry : public testing::Test {
 protected:
  void SetUp() override {
    chmod(StoreFile().c_str(), 0644);
    WriteStore(
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QuestGame]\r\n\"Path\"=\"C:\\\\Q\"\r\n");
  }

  HKEY Open(REGSAM access) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, access, &key), ERROR_SUCCESS);
    return key;
  }

  static LSTATUS SetText(HKEY key, const char* name, const std::string& text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
  }
};

TEST_F(EmulatedRegistry, QueryReportsSizesForEachBufferCase) {
  HKEY key = Open(KEY_READ);
  DWORD type = 0;
  DWORD size = 0;
  ASSERT_EQ(RegQueryValueExA(key, "path", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 5u);

  char buffer[8] = "#######";
  size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "Path", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(std::string(buffer), "#######");

  size = 5;
  EXPECT_EQ(RegQueryValueExA(key, "Path", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::string(buffer, 5), std::string("C:\\Q\0", 5));

  size = sizeof buffer;
  buffer[5] = '#';
  EXPECT_EQ(RegQueryValueExA(key, "Path", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(buffer[5], '#');

  EXPECT_EQ(RegQueryValueExA(key, "Path", nullptr, &type, reinterpret_cast<BYTE*>(buffer), nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(EmulatedRegistry, SetWritesTheFileKeepingCreationCase) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\QUESTGAME", 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  ASSERT_EQ(SetText(key, "Version", "1.0"), ERROR_SUCCESS);
  ASSERT_EQ(SetText(key, "VERSION", "2.0"), ERROR_SUCCESS);
  ASSERT_EQ(SetText(key, "PATH", "D:\\"), ERROR_SUCCESS);
  DWORD ten = 10;
  ASSERT_EQ(RegSetValueExA(key, "Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&ten), 4),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(ReadStore(),
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n"
            "\r\n[HKEY_LOCAL_MACHINE\\Software\\QuestGame]\r\n\"Path\"=\"D:\\\\\"\r\n"
            "\"Version\"=\"2.0\"\r\n\"Count\"=dword:0000000a\r\n\r\n");
  EXPECT_NE(access((StoreFile() + ".new").c_str(), F_OK), 0) << "temporary file left behind";
}

TEST_F(EmulatedRegistry, OpeningNeverCreatesAndHandlesKeepTheirAccess) {
  std::string before = ReadStore();
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\QuestGame\\New", 0, KEY_ALL_ACCESS, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadStore(), before);

  HKEY read_only = Open(KEY_QUERY_VALUE);
  EXPECT_EQ(SetText(read_only, "Path", "x"), ERROR_ACCESS_DENIED);
  HKEY write_only = Open(KEY_SET_VALUE);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(write_only, "Path", nullptr, nullptr, nullptr, &size),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadStore(), before);
  EXPECT_EQ(RegCloseKey(read_only), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(write_only), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(write_only), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x7777)), ERROR_INVALID_HANDLE);
}

TEST_F(EmulatedRegistry, MissingFileIsAnEmptyRegistryThatAWriteStarts) {
  ASSERT_EQ(unlink(StoreFile().c_str()), 0);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  ASSERT_EQ(SetText(key, "", "root"), ERROR_SUCCESS);
  EXPECT_EQ(ReadStore(), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE]\r\n@=\"root\"\r\n\r\n");
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(EmulatedRegistry, MalformedFileFailsTheCallsAndIsNotRewritten) {
  HKEY key = Open(KEY_ALL_ACCESS);
  const std::string broken =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QuestGame]\r\n\"Path\"=\"C:\\Q\r\n";
  WriteStore(broken);
  testing::internal::CaptureStderr();
  EXPECT_EQ(SetText(key, "Version", "1.0"), ERROR_REGISTRY_CORRUPT);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Path", nullptr, nullptr, nullptr, &size),
            ERROR_REGISTRY_CORRUPT);
  HKEY again = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, KEY_READ, &again),
            ERROR_REGISTRY_CORRUPT);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("system.reg:4: "), std::string::npos) << said;
  EXPECT_EQ(ReadStore(), broken);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(EmulatedRegistry, WriteAccessNeedsAWritableFile) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "file permissions do not bind the superuser";
  }
  ASSERT_EQ(chmod(StoreFile().c_str(), 0444), 0);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, KEY_SET_VALUE, &key),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, KEY_ALL_ACCESS, &key),
            ERROR_ACCESS_DENIED);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  chmod(StoreFile().c_str(), 0644);
}

// Sets `prefix`0 .. `prefix`N-1 one call at a time, each a whole read-change-replace.
int SetManyValues(char prefix, int count) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
    return 1;
  }
  for (int i = 0; i < count; ++i) {
    std::string name = prefix + std::to_string(i);
    DWORD number = static_cast<DWORD>(i);
    if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                       sizeof number) != ERROR_SUCCESS) {
      return 1;
    }
  }
  return RegCloseKey(key) == ERROR_SUCCESS ? 0 : 1;
}

TEST_F(EmulatedRegistry, TwoWritingProcessesKeepEachOthersValues) {
  constexpr int kCount = 60;
  pid_t writers[2];
  for (int i = 0; i < 2; ++i) {
    writers[i] = fork();
    ASSERT_GE(writers[i], 0);
    if (writers[i] == 0) {
      _exit(SetManyValues(i == 0 ? 'a' : 'b', kCount));
    }
  }
  for (pid_t writer : writers) {
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  HKEY key = Open(KEY_READ);
  int missing = 0;
  for (char prefix : {'a', 'b'}) {
    for (int i = 0; i < kCount; ++i) {
      DWORD number = 0;
      DWORD size = sizeof number;
      std::string name = prefix + std::to_string(i);
      if (RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&number),
                           &size) != ERROR_SUCCESS ||
          number != static_cast<DWORD>(i)) {
        ++missing;
      }
    }
  }
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// A writer killed at any moment, also while it writes the file: each write replaces the file
// whole, so that it reads whole afterwards, with the value from before and the writer's values
// up to one of them, none missing in between.
TEST_F(EmulatedRegistry, AWriterKilledAtAnyMomentLeavesTheFileWhole) {
  constexpr int kCount = 1000;
  constexpr int kRounds = 20;
  int cut = 0;  // writers killed part way through their values
  for (int round = 0; round < kRounds; ++round) {
    SetUp();
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      _exit(SetManyValues('k', kCount));
    }
    // Once the writer has begun, whatever the machine's speed, the kill comes a little later
    // each round.
    for (int wait = 0; wait < 5000 && ReadStore().find("\"k0\"") == std::string::npos; ++wait) {
      usleep(1000);
    }
    usleep(static_cast<useconds_t>(round * 400));
    ASSERT_EQ(kill(writer, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);

    const std::string text = ReadStore();
    int written = 0;
    while (text.find("\"k" + std::to_string(written) + "\"=dword:") != std::string::npos) {
      ++written;
    }
    size_t named = 0;
    for (size_t at = text.find("\"k"); at != std::string::npos; at = text.find("\"k", at + 1)) {
      ++named;
    }
    EXPECT_EQ(named, static_cast<size_t>(written)) << "round " << round << ": a value is missing";
    cut += written < kCount;
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS)
        << "round " << round << ": the file does not read whole";
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Path", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    if (written > 0) {
      DWORD number = 0;
      size = sizeof number;
      const std::string last = "k" + std::to_string(written - 1);
      EXPECT_EQ(RegQueryValueExA(key, last.c_str(), nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(&number), &size),
                ERROR_SUCCESS);
      EXPECT_EQ(number, static_cast<DWORD>(written - 1));
    }
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  }
  EXPECT_GT(cut, 0) << "no writer was killed part way through its values";
}

struct FaultPlan {
  std::string call;
  std::string subject;
  DWORD code;
  std::string asked;  // the subjects that `call` was asked about, ';'-separated
};

DWORD AskPlan(void* context, const char* call, const char* subject) {
  auto* plan = static_cast<FaultPlan*>(context);
  if (plan->call != call) {
    return 0;
  }
  plan->asked += std::string(subject) + ";";
  return plan->subject == subject ? plan->code : 0;
}

TEST_F(EmulatedRegistry, InjectedFaultsFailTheCallBeforeItActs) {
  HKEY key = Open(KEY_ALL_ACCESS);
  std::string before = ReadStore();
  FaultPlan plan{"RegSetValueExA", "Version", ERROR_DISK_FULL, ""};
  emu::SetFaultHook(&AskPlan, &plan);
  EXPECT_EQ(SetText(key, "Version", "1.0"), ERROR_DISK_FULL);
  EXPECT_EQ(ReadStore(), before);
  EXPECT_EQ(SetText(key, "Other", "1.0"), ERROR_SUCCESS);
  EXPECT_EQ(plan.asked, "Version;Other;");

  plan = FaultPlan{"RegOpenKeyExA", kKey, ERROR_ACCESS_DENIED, ""};
  HKEY other = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, KEY_READ, &other),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(other, nullptr);

  plan = FaultPlan{"RegCloseKey", kKey, ERROR_INVALID_HANDLE, ""};
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  emu::SetFaultHook(nullptr, nullptr);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

}  // namespace
