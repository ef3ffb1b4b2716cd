// Message boxes on the emulated machine: the messages.log line byte for byte, the readable
// copy on standard error, and whole lines from concurrent processes.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "test_machine.h"
#include "win32emu/machine/machine.h"

namespace {

std::string LogPath() {
  return emu::MachineRoot() + "/messages.log";
}

// What the log gained while `show` ran.
template <typename Show>
std::string LoggedBy(Show show) {
  std::string before = test_machine::ReadHostFile(LogPath());
  size_t start = before == "<missing>" ? 0 : before.size();
  show();
  std::string after = test_machine::ReadHostFile(LogPath());
  return after == "<missing>" ? std::string() : after.substr(start);
}

TEST(EmulatedMessageBox, LogsOneEscapedLine) {
  int result = 0;
  std::string logged = LoggedBy([&] {
    result = MessageBoxA(nullptr, "C:\\dir\r\nnext\tcol\x01\x7F end", nullptr,
                         MB_OK | MB_ICONSTOP | MB_TASKMODAL);
  });
  EXPECT_EQ(result, IDOK);
  EXPECT_EQ(logged, "0x2010\t(null)\tC:\\\\dir\\r\\nnext\\tcol\\x01\\x7F end\n");
  logged = LoggedBy([] { MessageBoxA(nullptr, "plain", "Application Error", MB_OK); });
  EXPECT_EQ(logged, "0x0000\tApplication Error\tplain\n");
  logged = LoggedBy([] { MessageBoxA(nullptr, "", "", 0xABCDu); });
  EXPECT_EQ(logged, "0xABCD\t\t\n");
}

TEST(EmulatedMessageBox, ShowsTheBoxReadablyOnStandardError) {
  testing::internal::CaptureStderr();
  MessageBoxA(nullptr, "one\r\ntwo\rthree\nfour", nullptr, MB_OK);
  MessageBoxA(nullptr, "body", "Caption", MB_OK);
  std::string shown = testing::internal::GetCapturedStderr();
  EXPECT_EQ(shown, "Error\none\ntwo\nthree\nfour\nCaption\nbody\n");
}

TEST(EmulatedMessageBox, ConcurrentProcessesWriteWholeLines) {
  constexpr int kProcesses = 4;
  constexpr int kBoxes = 50;
  std::string text(300, 'x');
  std::string logged = LoggedBy([&] {
    std::vector<pid_t> children;
    for (int child = 0; child < kProcesses; ++child) {
      pid_t pid = fork();
      if (pid == 0) {
        // Quiet: only the log matters here.
        if (freopen("/dev/null", "w", stderr) == nullptr) {
          _exit(2);
        }
        for (int box = 0; box < kBoxes; ++box) {
          MessageBoxA(nullptr, text.c_str(), "concurrent", MB_OK);
        }
        _exit(0);
      }
      children.push_back(pid);
    }
    for (pid_t pid : children) {
      int status = 0;
      waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
  });
  std::string line = "0x0000\tconcurrent\t" + text + "\n";
  std::string expected;
  for (int box = 0; box < kProcesses * kBoxes; ++box) {
    expected += line;
  }
  EXPECT_EQ(logged, expected);
}

}  // namespace
