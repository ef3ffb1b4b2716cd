// The emulated copy and deletion: what they keep of the host file, that a copy writes under
// the target's name and holds it unshared meanwhile, and that a copy that fails takes its
// incomplete target away.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <csignal>
#include <set>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "test_machine.h"
#include "win32emu/machine/machine.h"

namespace {

using test_machine::NewHostFolder;
using test_machine::ReadHostFile;
using test_machine::Windows;
using test_machine::WriteHostFile;

std::set<std::string> HostNames(const std::string& folder) {
  std::set<std::string> names;
  DIR* stream = opendir(folder.c_str());
  while (const dirent* entry = stream != nullptr ? readdir(stream) : nullptr) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.insert(name);
    }
  }
  if (stream != nullptr) {
    closedir(stream);
  }
  return names;
}

mode_t ModeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

BOOL Copy(const std::string& from, const std::string& to, BOOL fail_if_exists = FALSE) {
  return CopyFileA(Windows(from).c_str(), Windows(to).c_str(), fail_if_exists);
}

std::string Megabyte() {
  std::string bytes(1024 * 1024 + 5, '\0');
  for (size_t at = 0; at < bytes.size(); ++at) {
    bytes[at] = static_cast<char>(at * 31 % 251);
  }
  return bytes;
}

// Windows takes away a target it could not write whole; the file that had the name was
// emptied when the copy opened it, so it is lost too.
TEST(EmulatedCopy, FailingMidwayOverAFileTakesTheIncompleteTargetAway) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/source", Megabyte());
  WriteHostFile(folder + "/target", "the old target");
  // A file size limit makes the write fail after the first 64 KiB, even for the superuser.
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 64 * 1024;
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  SetLastError(0);
  BOOL copied = Copy(folder + "/source", folder + "/target");
  DWORD code = GetLastError();
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);

  EXPECT_FALSE(copied);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(HostNames(folder), (std::set<std::string>{"source"}));
}

TEST(EmulatedCopy, FailingMidwayToAFreeNameLeavesNoFileBehind) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/source", Megabyte());
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 64 * 1024;
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  SetLastError(0);
  BOOL copied = Copy(folder + "/source", folder + "/target");
  DWORD code = GetLastError();
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);

  EXPECT_FALSE(copied);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(HostNames(folder), (std::set<std::string>{"source"}));
}

TEST(EmulatedCopy, ACopyToAFreeNameIsCompleteWithTheSourceTime) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/source", Megabyte());
  const struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, (folder + "/source").c_str(), times, 0), 0);
  ASSERT_TRUE(Copy(folder + "/source", folder + "/target", TRUE));
  EXPECT_EQ(ReadHostFile(folder + "/target"), Megabyte());
  struct stat info;
  ASSERT_EQ(stat((folder + "/target").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtim.tv_sec, 1000000000);
  EXPECT_EQ(info.st_mtim.tv_nsec, 123456789);
  EXPECT_EQ(info.st_nlink, 1u);
  EXPECT_EQ(HostNames(folder), (std::set<std::string>{"source", "target"}));
  SetLastError(0);
  EXPECT_FALSE(Copy(folder + "/source", folder + "/target", TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
}

TEST(EmulatedCopy, ACopyOverAnExistingFileWritesThatFileAgain) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/source", Megabyte());
  WriteHostFile(folder + "/target", "the old target, longer than nothing");
  struct stat before;
  ASSERT_EQ(stat((folder + "/target").c_str(), &before), 0);
  ASSERT_TRUE(Copy(folder + "/source", folder + "/target"));
  EXPECT_EQ(ReadHostFile(folder + "/target"), Megabyte());
  struct stat after;
  ASSERT_EQ(stat((folder + "/target").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(HostNames(folder), (std::set<std::string>{"source", "target"}));
  // Shorter bytes leave nothing of the longer ones behind.
  WriteHostFile(folder + "/source", "short");
  ASSERT_TRUE(Copy(folder + "/source", folder + "/target"));
  EXPECT_EQ(ReadHostFile(folder + "/target"), "short");
}

TEST(EmulatedCopy, UnwritableTargetFolderKeepsTheOldTarget) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "the superuser may write into any folder";
  }
  std::string folder = NewHostFolder();
  ASSERT_EQ(mkdir((folder + "/closed").c_str(), 0777), 0);
  WriteHostFile(folder + "/source", "new");
  WriteHostFile(folder + "/closed/target", "old");
  ASSERT_EQ(chmod((folder + "/closed").c_str(), 0555), 0);
  SetLastError(0);
  EXPECT_FALSE(Copy(folder + "/source", folder + "/closed/target"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(ReadHostFile(folder + "/closed/target"), "old");
  chmod((folder + "/closed").c_str(), 0777);
}

// While the copy runs the target has its name and part of its bytes, and no other open may
// read or write it.
TEST(EmulatedCopy, ATargetBeingWrittenIsHeldUnsharedUnderItsName) {
  std::string folder = NewHostFolder();
  std::string bytes(64 << 20, 'b');
  WriteHostFile(folder + "/source", bytes);
  bool judged = false;
  // A copy that ends before the open below is tried judges nothing: it is tried again, over
  // an existing file and to a free name in turn.
  for (int attempt = 0; attempt < 10 && !judged; ++attempt) {
    bool over_a_file = attempt % 2 == 0;
    if (over_a_file) {
      WriteHostFile(folder + "/target", "old");
    } else {
      unlink((folder + "/target").c_str());
    }
    auto copying = [&folder, &bytes] {
      struct stat info;
      return stat((folder + "/target").c_str(), &info) == 0 && info.st_size > 3 &&
             static_cast<size_t>(info.st_size) < bytes.size();
    };
    std::atomic<bool> done{false};
    std::thread copy([&] {
      EXPECT_TRUE(Copy(folder + "/source", folder + "/target"));
      done = true;
    });
    while (!copying() && !done) {
    }
    HANDLE reader = CreateFileA(Windows(folder + "/target").c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = GetLastError();
    bool still_copying = copying();
    if (reader != INVALID_HANDLE_VALUE) {
      CloseHandle(reader);
    }
    copy.join();
    if (still_copying) {
      judged = true;
      EXPECT_EQ(reader, INVALID_HANDLE_VALUE) << (over_a_file ? "over a file" : "a free name");
      EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
  }
  EXPECT_TRUE(judged) << "every copy ended before the open was tried";
  EXPECT_EQ(ReadHostFile(folder + "/target"), bytes);
}

TEST(EmulatedCopy, AnyOtherOpenOfTheTargetRefusesTheCopyAndTheCopyLeavesNoneBehind) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/source", "new");
  const std::string target = Windows(folder + "/target");
  struct Holder {
    DWORD access;
    DWORD share;
  };
  // Whatever it shares, each open that counts stands against a copy, which shares nothing.
  for (const Holder& holder : {
           Holder{GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
           Holder{GENERIC_WRITE, FILE_SHARE_WRITE},
           Holder{GENERIC_READ | GENERIC_WRITE, 0},
           Holder{DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
       }) {
    SCOPED_TRACE(holder.access);
    WriteHostFile(folder + "/target", "old");
    HANDLE held = CreateFileA(target.c_str(), holder.access, holder.share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Copy(folder + "/source", folder + "/target"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(ReadHostFile(folder + "/target"), "old");
    CloseHandle(held);
    // The copy's own hold ends with it: every open is granted again.
    unlink((folder + "/target").c_str());
    ASSERT_TRUE(Copy(folder + "/source", folder + "/target", TRUE));
    held = CreateFileA(target.c_str(), holder.access, holder.share, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(held, INVALID_HANDLE_VALUE);
    CloseHandle(held);
  }
}

TEST(EmulatedCopy, CarriesReadOnlyAndExecuteBitsAndRefusesReadOnlyTargets) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/locked", "locked bytes");
  ASSERT_EQ(chmod((folder + "/locked").c_str(), 0444), 0);
  WriteHostFile(folder + "/program", "#!/bin/sh\n");
  ASSERT_EQ(chmod((folder + "/program").c_str(), 0755), 0);

  ASSERT_TRUE(Copy(folder + "/locked", folder + "/locked_copy"));
  EXPECT_EQ(ModeOf(folder + "/locked_copy") & 0222, 0u);
  EXPECT_EQ(ReadHostFile(folder + "/locked_copy"), "locked bytes");
  ASSERT_TRUE(Copy(folder + "/program", folder + "/program_copy"));
  EXPECT_EQ(ModeOf(folder + "/program_copy") & 0111, 0111u);

  SetLastError(0);
  EXPECT_FALSE(Copy(folder + "/program", folder + "/locked_copy"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(ReadHostFile(folder + "/locked_copy"), "locked bytes");

  // A file written again takes the source's bits as a new copy does.
  ASSERT_TRUE(Copy(folder + "/locked", folder + "/program_copy"));
  EXPECT_EQ(ModeOf(folder + "/program_copy") & 0333, 0u);
  EXPECT_EQ(ReadHostFile(folder + "/program_copy"), "locked bytes");
}

TEST(EmulatedCopy, SourceFailuresCarryWindowsCodes) {
  std::string folder = NewHostFolder();
  ASSERT_EQ(mkdir((folder + "/sub").c_str(), 0777), 0);
  SetLastError(0);
  EXPECT_FALSE(Copy(folder + "/nowhere/source", folder + "/target"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  SetLastError(0);
  EXPECT_FALSE(Copy(folder + "/sub", folder + "/target"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(HostNames(folder), (std::set<std::string>{"sub"}));
}

TEST(EmulatedCopy, CopiesAcrossFileSystems) {
  struct stat shared_memory, machine;
  if (stat("/dev/shm", &shared_memory) != 0 || stat(emu::MachineRoot().c_str(), &machine) != 0 ||
      shared_memory.st_dev == machine.st_dev) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  std::string source = "/dev/shm/emulated_copy_" + std::to_string(getpid());
  std::string bytes = Megabyte();
  WriteHostFile(source, bytes);
  std::string folder = NewHostFolder();
  EXPECT_TRUE(Copy(source, folder + "/target"));
  EXPECT_TRUE(Copy(folder + "/target", source + "_back"));
  EXPECT_EQ(ReadHostFile(folder + "/target"), bytes);
  EXPECT_EQ(ReadHostFile(source + "_back"), bytes);
  unlink(source.c_str());
  unlink((source + "_back").c_str());
}

TEST(EmulatedCopy, InjectedFaultFailsBeforeAnything) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/source", "new");
  WriteHostFile(folder + "/target", "old");
  test_machine::FaultPlan failure;
  failure.Fail("CopyFileA", Windows(folder + "/source"), ERROR_WRITE_FAULT, 0);
  SetLastError(0);
  EXPECT_FALSE(Copy(folder + "/source", folder + "/target"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
  EXPECT_EQ(failure.Injected(), 1);
  EXPECT_EQ(ReadHostFile(folder + "/target"), "old");
}

TEST(EmulatedDelete, RefusesReadOnlyFilesInWritableFolders) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/locked", "x");
  ASSERT_EQ(chmod((folder + "/locked").c_str(), 0444), 0);
  SetLastError(0);
  EXPECT_FALSE(DeleteFileA(Windows(folder + "/locked").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(ReadHostFile(folder + "/locked"), "x");

  ASSERT_EQ(chmod((folder + "/locked").c_str(), 0644), 0);
  EXPECT_TRUE(DeleteFileA(Windows(folder + "/locked").c_str()));
  EXPECT_EQ(ReadHostFile(folder + "/locked"), "<missing>");
}

TEST(EmulatedDelete, RemovesALinkButNotWhatItLeadsTo) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/kept", "x");
  ASSERT_EQ(symlink("kept", (folder + "/link").c_str()), 0);
  EXPECT_TRUE(DeleteFileA(Windows(folder + "/link").c_str()));
  EXPECT_EQ(HostNames(folder), (std::set<std::string>{"kept"}));

  // Whoever holds the file it leads to does not hold the link.
  ASSERT_EQ(symlink("kept", (folder + "/link").c_str()), 0);
  HANDLE holder = CreateFileA(Windows(folder + "/kept").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(DeleteFileA(Windows(folder + "/link").c_str()));
  EXPECT_EQ(HostNames(folder), (std::set<std::string>{"kept"}));
  CloseHandle(holder);

  // A hard link is one name of its file: that name goes, the file stays under the other.
  ASSERT_EQ(link((folder + "/kept").c_str(), (folder + "/second").c_str()), 0);
  EXPECT_TRUE(DeleteFileA(Windows(folder + "/second").c_str()));
  EXPECT_EQ(HostNames(folder), (std::set<std::string>{"kept"}));
  EXPECT_EQ(ReadHostFile(folder + "/kept"), "x");
}

TEST(EmulatedDelete, RefusesALinkToAFolderAsItRefusesTheFolder) {
  std::string folder = NewHostFolder();
  ASSERT_EQ(mkdir((folder + "/sub").c_str(), 0777), 0);
  ASSERT_EQ(symlink("sub", (folder + "/link").c_str()), 0);
  SetLastError(0);
  EXPECT_FALSE(DeleteFileA(Windows(folder + "/link").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(HostNames(folder), (std::set<std::string>{"link", "sub"}));
}

TEST(EmulatedDelete, InjectedFaultFailsBeforeAnything) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/file", "x");
  test_machine::FaultPlan failure;
  failure.Fail("DeleteFileA", Windows(folder + "/file"), ERROR_SHARING_VIOLATION, 0);
  SetLastError(0);
  EXPECT_FALSE(DeleteFileA(Windows(folder + "/file").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(ReadHostFile(folder + "/file"), "x");
}

}  // namespace
