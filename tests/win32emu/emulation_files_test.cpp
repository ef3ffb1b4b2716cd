// What the conformance suite cannot show under Wine: share modes between processes, the fault
// hook, read-only files against the host's superuser, and a full disk.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>

#include "platform/platform.h"
#include "test_machine.h"

namespace {

using test_machine::FaultPlan;
using test_machine::NewHostFolder;
using test_machine::ReadHostFile;
using test_machine::Windows;
using test_machine::WriteHostFile;

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The last error of opening `path` (0 when it opened; the handle is closed again).
DWORD OpenError(const std::string& path, DWORD access, DWORD share,
                DWORD disposition = OPEN_EXISTING) {
  HANDLE handle = CreateFileA(path.c_str(), access, share, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  CloseHandle(handle);
  return 0;
}

// Another process that opens a file through the emulation and holds it until told to go.
class HoldingChild {
 public:
  HoldingChild(const std::string& path, DWORD access, DWORD share) {
    int report[2];
    int go[2];
    if (pipe(report) != 0 || pipe(go) != 0) {
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      close(report[0]);
      close(go[1]);
      HANDLE handle = CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
      DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
      ssize_t sent = write(report[1], &error, sizeof error);
      char byte;
      ssize_t got = read(go[0], &byte, 1);
      static_cast<void>(sent + got);
      _exit(handle != INVALID_HANDLE_VALUE && CloseHandle(handle) ? 0 : 1);
    }
    close(report[1]);
    close(go[0]);
    go_ = go[1];
    if (read(report[0], &open_error_, sizeof open_error_) != sizeof open_error_) {
      open_error_ = 0xFFFFFFFF;
    }
    close(report[0]);
  }
  ~HoldingChild() { Release(); }
  HoldingChild(const HoldingChild&) = delete;
  HoldingChild& operator=(const HoldingChild&) = delete;

  // The last error of the child's open, 0 when it holds the file.
  DWORD open_error() const { return open_error_; }

  // Lets the child close its handle and end; true when it did so cleanly.
  bool Release() {
    if (pid_ <= 0) {
      return false;
    }
    close(go_);
    return Reap() == 0;
  }

  // Ends the child at once, without closing anything, as a crash would.
  void Crash() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      close(go_);
      Reap();
    }
  }

 private:
  int Reap() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  pid_t pid_ = -1;
  int go_ = -1;
  DWORD open_error_ = 0xFFFFFFFF;
};

TEST(EmulatedShareModes, AWriterInAnotherProcessKeepsOutReadersThatDoNotShareWriting) {
  std::string path = NewHostFolder() + "/held.txt";
  WriteHostFile(path, "content");
  HoldingChild child(Windows(path), GENERIC_WRITE, FILE_SHARE_READ);
  ASSERT_EQ(child.open_error(), 0u);
  EXPECT_EQ(OpenError(Windows(path), GENERIC_READ, FILE_SHARE_READ),
            static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(OpenError(Windows(path), GENERIC_READ, kShareReadWrite), 0u);
  EXPECT_EQ(OpenError(Windows(path), GENERIC_WRITE, kShareReadWrite, CREATE_ALWAYS),
            static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(ReadHostFile(path), "content");
  EXPECT_TRUE(child.Release());
  EXPECT_EQ(OpenError(Windows(path), GENERIC_READ, FILE_SHARE_READ), 0u);
}

TEST(EmulatedShareModes, AnotherProcessIsRefusedWhatThisOneDenies) {
  std::string path = NewHostFolder() + "/mine.txt";
  WriteHostFile(path, "content");
  HANDLE held = CreateFileA(Windows(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  {
    HoldingChild writer(Windows(path), GENERIC_WRITE, kShareReadWrite);
    EXPECT_EQ(writer.open_error(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  {
    HoldingChild reader(Windows(path), GENERIC_READ, FILE_SHARE_READ);
    EXPECT_EQ(reader.open_error(), 0u);
  }
  CloseHandle(held);
  HoldingChild writer(Windows(path), GENERIC_WRITE, kShareReadWrite);
  EXPECT_EQ(writer.open_error(), 0u);
}

TEST(EmulatedShareModes, ACrashedHolderLeavesNoShareBehind) {
  std::string path = NewHostFolder() + "/crash.txt";
  WriteHostFile(path, "content");
  HoldingChild child(Windows(path), GENERIC_READ, 0);
  ASSERT_EQ(child.open_error(), 0u);
  EXPECT_EQ(OpenError(Windows(path), GENERIC_READ, kShareReadWrite),
            static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  child.Crash();
  EXPECT_EQ(OpenError(Windows(path), GENERIC_WRITE, 0), 0u);
}

TEST(EmulatedFaults, CreateFileFailsWithTheInjectedCodeBeforeTouchingTheFile) {
  std::string folder = NewHostFolder();
  std::string path = Windows(folder + "/full.txt");
  FaultPlan failure;
  failure.Fail("CreateFileA", path, ERROR_DISK_FULL, 0);
  SetLastError(0);
  EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                        nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(failure.Injected(), 1);
  EXPECT_EQ(ReadHostFile(folder + "/full.txt"), "<missing>");
  EXPECT_EQ(OpenError(Windows(folder + "/other.txt"), GENERIC_WRITE, 0, CREATE_NEW), 0u);
}

TEST(EmulatedFaults, CallsOnAHandleNameThePathItWasOpenedWith) {
  std::string host = NewHostFolder() + "/data.txt";
  std::string path = Windows(host);
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD count = 99;
  {
    FaultPlan failure;
    failure.Fail("WriteFile", path, ERROR_DISK_FULL, 0);
    EXPECT_FALSE(WriteFile(file, "abc", 3, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(failure.Injected(), 1);
  }
  EXPECT_EQ(ReadHostFile(host), "");
  {
    FaultPlan failure;
    failure.Fail("ReadFile", path, ERROR_READ_FAULT, 0);
    char buffer[4];
    EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_READ_FAULT));
  }
  {
    FaultPlan failure;
    failure.Fail("CloseHandle", path, ERROR_INVALID_HANDLE, 0);
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(failure.Injected(), 1);
  }
  // The refused close left the handle open.
  EXPECT_TRUE(WriteFile(file, "abc", 3, &count, nullptr));
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(ReadHostFile(host), "abc");
}

TEST(EmulatedFaults, FolderCallsAskTheHook) {
  std::string folder = Windows(NewHostFolder());
  {
    FaultPlan failure;
    failure.Fail("CreateDirectoryA", folder + "\\sub", ERROR_ACCESS_DENIED, 0);
    EXPECT_FALSE(CreateDirectoryA((folder + "\\sub").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  EXPECT_EQ(GetFileAttributesA((folder + "\\sub").c_str()), INVALID_FILE_ATTRIBUTES);
  FaultPlan failure;
  failure.Fail("GetFileAttributesA", folder, ERROR_PATH_NOT_FOUND, 0);
  EXPECT_EQ(GetFileAttributesA(folder.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(EmulatedFiles, AFileWithoutWritePermissionIsReadOnlyEvenToTheSuperuser) {
  std::string host = NewHostFolder() + "/locked.txt";
  WriteHostFile(host, "locked");
  ASSERT_EQ(chmod(host.c_str(), 0444), 0);
  std::string path = Windows(host);
  EXPECT_EQ(OpenError(path, GENERIC_WRITE, 0), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenError(path, GENERIC_WRITE, 0, CREATE_ALWAYS),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenError(path, GENERIC_READ, 0, TRUNCATE_EXISTING),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenError(path, GENERIC_READ, 0), 0u);
  EXPECT_EQ(ReadHostFile(host), "locked");
  EXPECT_EQ(GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
}

TEST(EmulatedFiles, AFullDiskFailsTheWrite) {
  if (access("/dev/full", W_OK) != 0) {
    GTEST_SKIP() << "the host has no /dev/full";
  }
  HANDLE full = CreateFileA("Z:\\dev\\full", GENERIC_WRITE, kShareReadWrite, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(full, INVALID_HANDLE_VALUE);
  DWORD written = 99;
  EXPECT_FALSE(WriteFile(full, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(CloseHandle(full));
}

TEST(EmulatedFiles, HandlesAreDistinctAndNeverTheReservedValues) {
  std::string path = Windows(NewHostFolder() + "/many.txt");
  HANDLE first = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE second = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(CloseHandle(second));
  // A value once closed stays invalid: no later open reuses it.
  HANDLE third = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(third, first);
  EXPECT_NE(third, second);
  CloseHandle(third);
}

TEST(EmulatedFiles, ALinkThatLeadsNowhereIsOpenedByMakingItsFile) {
  std::string folder = NewHostFolder();
  ASSERT_EQ(symlink((folder + "/made.txt").c_str(), (folder + "/link.txt").c_str()), 0);
  for (DWORD disposition : {CREATE_ALWAYS, OPEN_ALWAYS}) {
    unlink((folder + "/made.txt").c_str());
    HANDLE file = CreateFileA(Windows(folder + "/link.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                              disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << disposition;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "via", 3, &written, nullptr));
    CloseHandle(file);
    EXPECT_EQ(ReadHostFile(folder + "/made.txt"), "via");
  }
}

TEST(EmulatedFiles, CreateNewFindsANameTakenByALinkThatLeadsNowhere) {
  std::string folder = NewHostFolder();
  ASSERT_EQ(symlink((folder + "/made.txt").c_str(), (folder + "/link.txt").c_str()), 0);
  SetLastError(0);
  EXPECT_EQ(CreateFileA(Windows(folder + "/link.txt").c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(ReadHostFile(folder + "/made.txt"), "<missing>");
}

TEST(EmulatedFiles, APipeIsRefusedAtOnceInsteadOfWaitedFor) {
  std::string pipe = NewHostFolder() + "/set.inf";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
  for (DWORD access : {GENERIC_READ, GENERIC_WRITE}) {
    SetLastError(0);
    EXPECT_EQ(CreateFileA(Windows(pipe).c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
}

}  // namespace
