// The running program's Windows path on the emulated machine: under a drive folder of the
// root it is on that drive, anywhere else on Z:.
#include <gtest/gtest.h>

#include <gnu/libc-version.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "test_machine.h"
#include "win32emu/machine/machine.h"

namespace {

constexpr char kReportVariable[] = "EMU_UNIT_REPORT_MODULE_PATH";

std::string ModulePath(HMODULE module) {
  char buffer[PATH_MAX];
  DWORD length = GetModuleFileNameA(module, buffer, sizeof buffer);
  return length < sizeof buffer ? std::string(buffer, length) : std::string();
}

// Started as one of the copies below, the program only writes its own Windows path into the
// host file the variable names, and ends.
const bool kReportOnly = [] {
  const char* report = std::getenv(kReportVariable);
  if (report == nullptr) {
    return false;
  }
  test_machine::WriteHostFile(report, ModulePath(nullptr));
  _exit(0);
}();

std::string OwnHostPath() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

// Copies this program to `host_path` and returns the module path that the copy reports.
std::string PathReportedFrom(const std::string& host_path) {
  std::string folder = host_path.substr(0, host_path.rfind('/'));
  std::string make = "mkdir -p '" + folder + "' && cp '" + OwnHostPath() + "' '" + host_path + "'";
  if (std::system(make.c_str()) != 0) {
    return "<not copied>";
  }
  std::string report = test_machine::NewHostFolder() + "/report.txt";
  pid_t pid = fork();
  if (pid == 0) {
    setenv(kReportVariable, report.c_str(), 1);
    execl(host_path.c_str(), host_path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return test_machine::ReadHostFile(report);
}

TEST(EmulatedModulePath, OutsideTheRootTheProgramIsOnZ) {
  ASSERT_FALSE(kReportOnly);
  std::string own = OwnHostPath();
  ASSERT_NE(own.rfind(emu::MachineRoot() + "/", 0), 0u) << "the tests run from inside the root";
  std::string expected = "Z:";
  for (char c : own) {
    expected += c == '/' ? '\\' : c;
  }
  EXPECT_EQ(ModulePath(nullptr), expected);
}

TEST(EmulatedModulePath, UnderADriveFolderTheProgramIsOnThatDrive) {
  EXPECT_EQ(PathReportedFrom(emu::MachineRoot() + "/drive_c/Program Files/Quest/setup.exe"),
            "C:\\Program Files\\Quest\\setup.exe");
  EXPECT_EQ(PathReportedFrom(emu::MachineRoot() + "/drive_d/tools/setup.exe"),
            "D:\\tools\\setup.exe");
}

TEST(EmulatedModulePath, CodeInALibraryBelongsToThatLibrary) {
  MEMORY_BASIC_INFORMATION region;
  ASSERT_EQ(
      VirtualQuery(reinterpret_cast<const void*>(&gnu_get_libc_version), &region, sizeof region),
      sizeof region);
  std::string library = ModulePath(static_cast<HMODULE>(region.AllocationBase));
  EXPECT_EQ(library.rfind("Z:\\", 0), 0u) << library;
  EXPECT_NE(library.find("libc"), std::string::npos) << library;
  EXPECT_NE(library, ModulePath(nullptr));
  DWORD attributes = GetFileAttributesA(library.c_str());
  EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST(EmulatedFolders, FixedFoldersAreOnCAndExist) {
  char buffer[64];
  ASSERT_EQ(GetWindowsDirectoryA(buffer, sizeof buffer), 10u);
  EXPECT_STREQ(buffer, "C:\\WINDOWS");
  ASSERT_EQ(GetTempPathA(sizeof buffer, buffer), 8u);
  EXPECT_STREQ(buffer, "C:\\TEMP\\");
  struct stat info;
  ASSERT_EQ(stat((emu::MachineRoot() + "/drive_c/TEMP").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST(EmulatedPaths, NoPathLeavesItsDriveAndARootedOneTakesTheCurrentDrive) {
  const std::string drive_c = emu::MachineRoot() + "/drive_c";
  // The machine's own files sit beside its drives, where ".." from a drive's root would lead.
  EXPECT_EQ(emu::HostPath("C:\\..\\system.reg"), drive_c + "/system.reg");
  EXPECT_EQ(emu::HostPath("C:\\WINDOWS\\..\\..\\..\\x\\"), drive_c + "/x/");
  EXPECT_EQ(emu::HostPath("C:\\a\\.\\b\\.."), drive_c + "/a");
  EXPECT_EQ(emu::HostPath("C:\\a\\.."), drive_c + "/");
  EXPECT_EQ(emu::HostPath("Z:\\..\\tmp"), "/tmp");
  char* here = getcwd(nullptr, 0);
  ASSERT_NE(here, nullptr);
  ASSERT_EQ(chdir((drive_c + "/TEMP").c_str()), 0);
  std::string rooted = emu::HostPath("\\WINDOWS");
  std::string folded = emu::HostPath("\\..\\WINDOWS");
  ASSERT_EQ(chdir(here), 0);
  std::free(here);
  EXPECT_EQ(rooted, drive_c + "/WINDOWS");
  EXPECT_EQ(folded, drive_c + "/WINDOWS");
  EXPECT_EQ(emu::HostPath("\\tmp"), "/tmp");  // the tests run outside the drives: on Z:
}

}  // namespace
