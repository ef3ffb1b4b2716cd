// The emulated program start: the exec.log record of every attempt, and the host program
// started on its own, detached from the starter.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "test_machine.h"
#include "win32emu/machine/log_escape.h"
#include "win32emu/machine/machine.h"

namespace {

using test_machine::NewHostFolder;
using test_machine::ReadHostFile;
using test_machine::Windows;
using test_machine::WriteHostFile;

std::string ExecLog() {
  std::string log = ReadHostFile(emu::MachineRoot() + "/exec.log");
  return log == "<missing>" ? "" : log;
}

BOOL Start(const char* application, std::string command_line, const STARTUPINFOA& startup,
           PROCESS_INFORMATION* started) {
  std::vector<char> line(command_line.begin(), command_line.end());
  line.push_back('\0');
  STARTUPINFOA info = startup;
  return CreateProcessA(application, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &info, started);
}

STARTUPINFOA Shown(WORD show) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = show;
  return startup;
}

TEST(EmulatedStart, RecordsEveryAttemptAsOneEscapedLine) {
  std::string before = ExecLog();
  std::string missing = "C:\\No Such\\setup.exe";
  PROCESS_INFORMATION started = {};
  SetLastError(0);
  EXPECT_FALSE(Start(missing.c_str(), missing, Shown(SW_SHOWNORMAL), &started));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  EXPECT_FALSE(Start(missing.c_str(), "odd\ttab\nline\x01", Shown(SW_HIDE), &started));
  STARTUPINFOA unflagged = Shown(SW_HIDE);
  unflagged.dwFlags = 0;
  EXPECT_FALSE(Start(nullptr, "C:\\quiet.exe /s", unflagged, &started));

  EXPECT_EQ(ExecLog(), before +
                           "1\tC:\\\\No Such\\\\setup.exe\n"
                           "0\todd\\ttab\\nline\\x01\n"
                           "1\tC:\\\\quiet.exe /s\n");
}

TEST(EmulatedStart, RefusesWhatIsNotAProgram) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/readme.txt", "not a program");
  for (const std::string& path : {folder + "/readme.txt", folder}) {
    PROCESS_INFORMATION started = {};
    SetLastError(0);
    EXPECT_FALSE(Start(Windows(path).c_str(), Windows(path), Shown(SW_SHOWNORMAL), &started));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << path;
  }
}

TEST(EmulatedStart, InjectedFaultFailsBeforeTheRecord) {
  std::string before = ExecLog();
  test_machine::FaultPlan failure;
  failure.Fail("CreateProcessA", "C:\\setup.exe", ERROR_ACCESS_DENIED, 0);
  PROCESS_INFORMATION started = {};
  SetLastError(0);
  EXPECT_FALSE(Start("C:\\setup.exe", "C:\\setup.exe", Shown(SW_SHOWNORMAL), &started));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(failure.Injected(), 1);
  EXPECT_EQ(ExecLog(), before);
}

TEST(EmulatedStart, StartsTheProgramDetachedWithNothingInherited) {
  std::string folder = NewHostFolder();
  std::string program = folder + "/setup.exe";
  // The program reports its standard files, all its open files, its session and its
  // arguments, the last as the sign that it is done.
  // Taken in command substitutions, which leave the shell's own files as they are.
  WriteHostFile(
      program,
      "#!/bin/sh\n"
      "std=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2)\n"
      "fds=$(ls -l /proc/$$/fd)\n"
      "sid=$(cut -d' ' -f6 /proc/$$/stat)\n"
      "echo \"$std\" > \"$0.std\"; echo \"$fds\" > \"$0.fds\"; echo \"$sid\" > \"$0.sid\"\n"
      "echo \"$0|$#|$$\" > \"$0.tmp\" && mv \"$0.tmp\" \"$0.out\"\n");
  ASSERT_EQ(chmod(program.c_str(), 0755), 0);
  WriteHostFile(folder + "/inheritable", "");
  int inheritable = open((folder + "/inheritable").c_str(), O_RDONLY);
  ASSERT_GE(inheritable, 0);
  std::string before = ExecLog();

  PROCESS_INFORMATION started = {};
  BOOL ok = Start(Windows(program).c_str(), Windows(program), Shown(SW_SHOWNORMAL), &started);
  close(inheritable);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ExecLog(), before + "1\t" + emu::EscapeLogText(Windows(program)) + "\n");
  // Nothing is left for the starter to reap.
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  std::string done = "<missing>";
  for (int waited = 0; waited < 1000 && done == "<missing>"; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    done = ReadHostFile(program + ".out");
  }
  ASSERT_NE(done, "<missing>") << "the program did not run";
  EXPECT_EQ(done, program + "|0|" + std::to_string(started.dwProcessId) + "\n");
  EXPECT_EQ(ReadHostFile(program + ".std"), "/dev/null\n/dev/null\n/dev/null\n");
  EXPECT_EQ(ReadHostFile(program + ".fds").find("inheritable"), std::string::npos);
  EXPECT_NE(ReadHostFile(program + ".sid"), std::to_string(getsid(0)) + "\n");
  EXPECT_TRUE(CloseHandle(started.hThread));
  EXPECT_TRUE(CloseHandle(started.hProcess));
}

}  // namespace
