// CreateProcessA. Every start attempt is recorded in <root>/exec.log, one line each: the show
// state, a TAB, and the escaped command line. A host program at the translated application
// path is then started in a session of its own, with no shell, and left to run.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <string>
#include <string_view>

#include "win32emu/faults/fault_points.h"
#include "win32emu/machine/log_escape.h"
#include "win32emu/machine/machine.h"

extern char** environ;

namespace {

constexpr DWORD kErrorBadExeFormat = 193;

// Windows' pseudo handles for the current process and thread: CloseHandle accepts them and
// they hold nothing, as the emulated machine keeps no record of the programs it starts.
HANDLE const kProcessHandle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
HANDLE const kThreadHandle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

void RecordStart(const STARTUPINFOA* startup, std::string_view command_line) {
  DWORD show = SW_SHOWNORMAL;
  if (startup != nullptr && (startup->dwFlags & STARTF_USESHOWWINDOW) != 0) {
    show = startup->wShowWindow;
  }
  std::string line = std::to_string(show) + '\t' + emu::EscapeLogText(command_line) + '\n';
  std::string log_path = emu::MachineRoot() + "/exec.log";
  int log = open(log_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (log < 0) {
    return;
  }
  // One write, so that records of concurrent starts never interleave.
  ssize_t written = write(log, line.data(), line.size());
  static_cast<void>(written);
  close(log);
}

// The program a command line names when no application name is given: its first token,
// quoted or up to the first blank.
std::string FirstToken(std::string_view command_line) {
  if (!command_line.empty() && command_line.front() == '"') {
    command_line.remove_prefix(1);
    return std::string(command_line.substr(0, command_line.find('"')));
  }
  return std::string(command_line.substr(0, command_line.find_first_of(" \t")));
}

// What the starting process learns from the two processes it forks.
struct StartNews {
  enum Kind : int { kStarted, kFailed } kind;
  int value;  // the started program's process id, or the errno of the failure
};

[[noreturn]] void Report(int channel, StartNews::Kind kind, int value) {
  StartNews news{kind, value};
  ssize_t written = write(channel, &news, sizeof news);
  static_cast<void>(written);
  _exit(kind == StartNews::kStarted ? 0 : 127);
}

// Runs in the forked child, where only async-signal-safe calls are allowed: a new session,
// then a second fork so that the program is nobody's child here and leaves no zombie.
[[noreturn]] void StartInChild(const char* program, char* const argv[], int channel) {
  setsid();
  pid_t started = fork();
  if (started < 0) {
    Report(channel, StartNews::kFailed, errno);
  }
  if (started > 0) {
    Report(channel, StartNews::kStarted, static_cast<int>(started));
  }
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    dup2(null_fd, STDIN_FILENO);
    dup2(null_fd, STDOUT_FILENO);
    dup2(null_fd, STDERR_FILENO);
    if (null_fd > STDERR_FILENO) {
      close(null_fd);
    }
  }
  // Nothing of the starter's is inherited: no other open file, no blocked or ignored signal.
  close_range(STDERR_FILENO + 1, ~0u, CLOSE_RANGE_CLOEXEC);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction default_action = {};
  default_action.sa_handler = SIG_DFL;
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    sigaction(signal_number, &default_action, nullptr);
  }
  execve(program, argv, environ);
  Report(channel, StartNews::kFailed, errno);
}

// Starts `program` detached. Returns its process id, or -errno.
int StartDetached(const std::string& program) {
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0) {
    return -errno;
  }
  char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
  pid_t child = fork();
  if (child < 0) {
    int err = errno;
    close(channel[0]);
    close(channel[1]);
    return -err;
  }
  if (child == 0) {
    close(channel[0]);
    StartInChild(program.c_str(), argv, channel[1]);
  }
  close(channel[1]);
  // The channel closes once the child has gone and the program has been executed.
  int result = -ECHILD;
  StartNews news;
  for (;;) {
    ssize_t got = read(channel[0], &news, sizeof news);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got != static_cast<ssize_t>(sizeof news)) {
      break;
    }
    if (news.kind == StartNews::kFailed) {
      result = -news.value;
    } else if (result == -ECHILD) {
      result = news.value;
    }
  }
  close(channel[0]);
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  return result;
}

// The code Windows gives for an application path that cannot be started, or 0.
DWORD Unstartable(const std::string& host_path) {
  struct stat info;
  if (stat(host_path.c_str(), &info) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND
                                               : emu::ErrorFromErrno(errno, host_path);
  }
  if (!S_ISREG(info.st_mode) || access(host_path.c_str(), X_OK) != 0) {
    return ERROR_ACCESS_DENIED;
  }
  return 0;
}

}  // namespace

BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                           DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                           LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
  static_cast<void>(lpProcessAttributes);
  static_cast<void>(lpThreadAttributes);
  static_cast<void>(bInheritHandles);
  static_cast<void>(dwCreationFlags);
  static_cast<void>(lpEnvironment);
  static_cast<void>(lpCurrentDirectory);
  std::string application = lpApplicationName != nullptr ? std::string(lpApplicationName)
                            : lpCommandLine != nullptr   ? FirstToken(lpCommandLine)
                                                         : std::string();
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kCreateProcessA, application.c_str());
      fault != 0) {
    return emu::Fail(fault);
  }
  if (application.empty() || lpStartupInfo == nullptr || lpProcessInformation == nullptr) {
    return emu::Fail(ERROR_INVALID_PARAMETER);
  }
  RecordStart(lpStartupInfo, lpCommandLine != nullptr ? lpCommandLine : application);
  std::string host_path = emu::HostPath(application.c_str());
  if (DWORD refusal = Unstartable(host_path); refusal != 0) {
    return emu::Fail(refusal);
  }
  int started = StartDetached(host_path);
  if (started < 0) {
    return emu::Fail(-started == ENOEXEC ? kErrorBadExeFormat
                                         : emu::ErrorFromErrno(-started, host_path));
  }
  lpProcessInformation->hProcess = kProcessHandle;
  lpProcessInformation->hThread = kThreadHandle;
  lpProcessInformation->dwProcessId = static_cast<DWORD>(started);
  lpProcessInformation->dwThreadId = static_cast<DWORD>(started);
  return TRUE;
}
