// The kill that a process's environment asks for (WIN32EMU_KILL): the process ends at its n-th
// hooked call as a kill ends it, at once or halfway through a call that writes data, and the
// trace tells where. The program under test is this one, started again as a probe.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "test_machine.h"

namespace {

using test_machine::NewHostFolder;
using test_machine::ReadHostFile;
using test_machine::Windows;
using test_machine::WriteHostFile;

constexpr char kProbeVariable[] = "EMU_UNIT_KILL_PROBE";
constexpr size_t kWritten = 1001;
constexpr size_t kSourceSize = (1 << 20) + 5;

std::string SourceBytes() {
  std::string bytes(kSourceSize, '\0');
  for (size_t at = 0; at < bytes.size(); ++at) {
    bytes[at] = static_cast<char>(at * 131 % 251);
  }
  return bytes;
}

// Started with the variable naming a host folder, the program makes these hooked calls there
// and leaves "done" when it got through them:
//   1 CreateFileA "written"   2 WriteFile of kWritten bytes   3 CloseHandle
//   4 CopyFileA "source" to "copy"   5 GetFileAttributesA "copy"
// After its first call it notes whether the kill's variable is still in its environment.
[[noreturn]] void RunAsProbe(const std::string& host) {
  HANDLE written = CreateFileA(Windows(host + "/written").c_str(), GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  WriteHostFile(host + "/environment", std::getenv("WIN32EMU_KILL") != nullptr ? "kept" : "gone");
  std::string bytes(kWritten, 'w');
  DWORD put = 0;
  WriteFile(written, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
  CloseHandle(written);
  CopyFileA(Windows(host + "/source").c_str(), Windows(host + "/copy").c_str(), FALSE);
  GetFileAttributesA(Windows(host + "/copy").c_str());
  WriteHostFile(host + "/done", "done");
  _exit(0);
}

// The probe runs once the whole program is set up, before any test.
class ProbeEnvironment : public testing::Environment {
 public:
  explicit ProbeEnvironment(std::string folder) : folder_(std::move(folder)) {}
  void SetUp() override { RunAsProbe(folder_); }

 private:
  std::string folder_;
};

const bool kProbeOnly = [] {
  const char* folder = std::getenv(kProbeVariable);
  if (folder != nullptr) {
    testing::AddGlobalTestEnvironment(new ProbeEnvironment(folder));
  }
  return folder != nullptr;
}();

std::string OwnProgram() {
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

struct Ended {
  bool killed = false;  // by SIGKILL
  int exit_code = -1;   // when it exited
};

// Runs the probe in `folder` with the environment's kill, fault and trace as given ("" for
// none).
Ended RunProbe(const std::string& folder, const std::string& kill, const std::string& fault) {
  std::string program = OwnProgram();
  pid_t pid = fork();
  if (pid == 0) {
    setenv(kProbeVariable, folder.c_str(), 1);
    setenv("WIN32EMU_TRACE", (folder + "/trace").c_str(), 1);
    for (auto [name, value] : {std::pair{"WIN32EMU_KILL", &kill}, {"WIN32EMU_FAULT", &fault}}) {
      if (value->empty()) {
        unsetenv(name);
      } else {
        setenv(name, value->c_str(), 1);
      }
    }
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  Ended ended;
  ended.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  ended.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return ended;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

struct KillCase {
  const char* kill;
  const char* fault;
  bool killed;
  // The trace's last line begins with this and, for a killed process, ends with the kill.
  const char* last_call;
  const char* last_mark;
  // Bytes of "written" and "copy"; -1: no such file.
  long written;
  long copied;
};

const KillCase kKillCases[] = {
    {"", "", false, "5\tGetFileAttributesA\t", "", kWritten, kSourceSize},
    {"1", "", true, "1\tCreateFileA\t", "\tkilled", -1, -1},
    {"2", "", true, "2\tWriteFile\t", "\tkilled", 0, -1},
    {"2:half", "", true, "2\tWriteFile\t", "\tkilled halfway", kWritten / 2, -1},
    // A call that writes no data ends the process before it, halfway or not.
    {"3:half", "", true, "3\tCloseHandle\t", "\tkilled", kWritten, -1},
    {"4", "", true, "4\tCopyFileA\t", "\tkilled", kWritten, -1},
    {"4:half", "", true, "4\tCopyFileA\t", "\tkilled halfway", kWritten, kSourceSize / 2},
    {"5", "", true, "5\tGetFileAttributesA\t", "\tkilled", kWritten, kSourceSize},
    {"6", "", false, "5\tGetFileAttributesA\t", "", kWritten, kSourceSize},
    // With a fault asked for at the same call, the kill comes first.
    {"4:half", "4:112", true, "4\tCopyFileA\t", "\tkilled halfway", kWritten, kSourceSize / 2},
    {"5", "4:112", true, "5\tGetFileAttributesA\t", "\tkilled", kWritten, -1},
    // Several faults: each call named fails, and the trace gives each its code.
    {"", "1:5,4:112", false, "5\tGetFileAttributesA\t", "", -1, -1},
    {"", "2:112,5:2", false, "5\tGetFileAttributesA\t", "\t2", 0, kSourceSize},
};

long SizeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

class EnvironmentKill : public testing::TestWithParam<KillCase> {};

TEST_P(EnvironmentKill, EndsTheProcessWhereAsked) {
  ASSERT_FALSE(kProbeOnly);
  const KillCase& asked = GetParam();
  std::string folder = NewHostFolder();
  std::string source = SourceBytes();
  WriteHostFile(folder + "/source", source);
  Ended ended = RunProbe(folder, asked.kill, asked.fault);

  EXPECT_EQ(ended.killed, asked.killed);
  if (!asked.killed) {
    EXPECT_EQ(ended.exit_code, 0);
  }
  EXPECT_EQ(ReadHostFile(folder + "/done"), asked.killed ? "<missing>" : "done");
  std::vector<std::string> trace = Lines(ReadHostFile(folder + "/trace"));
  ASSERT_FALSE(trace.empty());
  const std::string& last = trace.back();
  EXPECT_EQ(last.rfind(asked.last_call, 0), 0u) << last;
  if (!asked.killed) {
    // Every fault asked for, and no other, is traced where it came.
    std::string traced;
    for (const std::string& line : trace) {
      size_t call = line.find('\t');
      size_t subject = line.find('\t', call + 1);
      size_t code = line.find('\t', subject + 1);
      if (code != std::string::npos) {
        traced += (traced.empty() ? "" : ",") + line.substr(0, call) + ":" + line.substr(code + 1);
      }
    }
    EXPECT_EQ(traced, asked.fault);
  }
  std::string mark = asked.last_mark;
  if (!mark.empty()) {
    EXPECT_TRUE(last.size() > mark.size() && last.ends_with(mark)) << last;
  }
  EXPECT_EQ(SizeOf(folder + "/written"), asked.written);
  EXPECT_EQ(SizeOf(folder + "/copy"), asked.copied);
  // A copy killed halfway leaves the first half of the bytes under the target's name.
  if (asked.copied >= 0) {
    EXPECT_TRUE(ReadHostFile(folder + "/copy") ==
                source.substr(0, static_cast<size_t>(asked.copied)));
  }
  if (SizeOf(folder + "/environment") >= 0) {
    EXPECT_EQ(ReadHostFile(folder + "/environment"), "gone");  // not passed on
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, EnvironmentKill, testing::ValuesIn(kKillCases));

TEST(EnvironmentFault, RefusesWhatItCannotTake) {
  for (const char* malformed : {"4", "4:", ":5", "4:5,", "4:5,4:2", "5:5,4:2", "4:5;6:2",
                                "1:5,2:5,3:5,4:5,5:5,6:5,7:5,8:5,9:5"}) {
    std::string folder = NewHostFolder();
    WriteHostFile(folder + "/source", "bytes");
    Ended ended = RunProbe(folder, "", malformed);
    EXPECT_FALSE(ended.killed) << malformed;
    EXPECT_EQ(ended.exit_code, 125) << malformed;
    EXPECT_EQ(SizeOf(folder + "/written"), -1) << malformed;
  }
}

TEST(EnvironmentKill, RefusesWhatItCannotTake) {
  for (const char* malformed : {"0", "x", "4:", ":half", "4:quarter", "4:half:x", "-3"}) {
    std::string folder = NewHostFolder();
    WriteHostFile(folder + "/source", "bytes");
    Ended ended = RunProbe(folder, malformed, "");
    EXPECT_FALSE(ended.killed) << malformed;
    EXPECT_EQ(ended.exit_code, 125) << malformed;
    EXPECT_EQ(SizeOf(folder + "/written"), -1) << malformed;
  }
}

}  // namespace
