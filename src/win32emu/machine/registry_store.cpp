#include "win32emu/machine/registry_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "win32emu/machine/machine.h"

namespace emu::registry {
namespace {

// Holds the lock file under flock for as long as it lives. Without a lock file to open (a
// machine this process may not write), reading goes on unlocked: writers replace the file by
// rename, so a reader still sees one whole version.
class StoreLock {
 public:
  explicit StoreLock(int operation) {
    std::string path = StorePath() + ".lock";
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    while (flock(fd_, operation) != 0) {
      if (errno != EINTR) {
        error_ = errno;
        return;
      }
    }
  }
  ~StoreLock() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  int error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};

// The whole file into `text`; a missing file reads as empty. Returns 0 or an errno value.
int ReadStoreFile(std::string& text) {
  text.clear();
  int fd = open(StorePath().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return errno == ENOENT ? 0 : errno;
  }
  char chunk[8192];
  for (;;) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      int err = got < 0 ? errno : 0;
      close(fd);
      return err;
    }
    text.append(chunk, static_cast<size_t>(got));
  }
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote <= 0) {
      return false;
    }
    done += static_cast<size_t>(wrote);
  }
  return true;
}

// Writes `text` beside the file, flushes it and renames it over the file. Returns 0 or errno.
int ReplaceStoreFile(const std::string& text) {
  std::string path = StorePath();
  std::string temporary = path + ".new";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return errno;
  }
  if (!WriteAll(fd, text) || fsync(fd) != 0) {
    int err = errno;
    close(fd);
    unlink(temporary.c_str());
    return err;
  }
  if (close(fd) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
    int err = errno;
    unlink(temporary.c_str());
    return err;
  }
  // The rename itself lasts only once the folder is flushed too.
  if (int folder = open(MachineRoot().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); folder >= 0) {
    fsync(folder);
    close(folder);
  }
  return 0;
}

// Says once per distinct fault which line of the file could not be read.
void ReportCorruption(const ParseError& error) {
  static std::mutex mutex;
  static std::string last_report;
  std::string report = "system.reg:" + std::to_string(error.line) + ": " + error.message;
  std::lock_guard<std::mutex> hold(mutex);
  if (report != last_report) {
    std::fprintf(stderr, "%s (registry calls fail until the file is mended)\n", report.c_str());
    last_report = report;
  }
}

DWORD ParseStoreText(const std::string& text, Hive& hive) {
  ParseError error;
  if (!ParseHive(text, hive, error)) {
    ReportCorruption(error);
    return ERROR_REGISTRY_CORRUPT;
  }
  return 0;
}

}  // namespace

std::string StorePath() {
  return MachineRoot() + "/system.reg";
}

DWORD LoadHive(Hive& hive) {
  std::string text;
  {
    StoreLock lock(LOCK_SH);
    if (int err = ReadStoreFile(text); err != 0) {
      return ErrorFromErrno(err, StorePath());
    }
  }
  return ParseStoreText(text, hive);
}

DWORD UpdateHive(const std::function<DWORD(Hive&)>& change) {
  StoreLock lock(LOCK_EX);
  if (lock.error() != 0) {
    return ErrorFromErrno(lock.error(), StorePath() + ".lock");
  }
  std::string text;
  if (int err = ReadStoreFile(text); err != 0) {
    return ErrorFromErrno(err, StorePath());
  }
  Hive hive;
  if (DWORD code = ParseStoreText(text, hive); code != 0) {
    return code;
  }
  if (DWORD code = change(hive); code != 0) {
    return code;
  }
  if (int err = ReplaceStoreFile(WriteHive(hive)); err != 0) {
    return ErrorFromErrno(err, StorePath());
  }
  return 0;
}

bool StoreWritable() {
  std::string path = StorePath();
  if (access(path.c_str(), F_OK) == 0) {
    return access(path.c_str(), W_OK) == 0;
  }
  return access(MachineRoot().c_str(), W_OK) == 0;
}

}  // namespace emu::registry
