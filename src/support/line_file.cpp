#include "support/line_file.h"

#include <cstring>

#include "support/failure.h"

thread_local std::int32_t PendingIoError = 0;

namespace {

constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';
constexpr char kEndOfText = '\x1A';

constexpr DWORD kDiskFull = 101;

void StoreError(std::int32_t code) {
  PendingIoError = code;
}

void StoreLastError() {
  StoreError(static_cast<std::int32_t>(GetLastError()));
}

// Closes the file if it is open and empties its buffer; false, with the code pending, when
// its path is too long to be opened.
bool Prepare(LineFile& file) {
  if (file.mode != LineFileMode::kClosed) {
    CloseLineFile(file);
  }
  file.position = 0;
  file.fill = 0;
  file.text_ended = false;
  // Refusing a path that cannot be passed whole beats truncating it.
  if (file.path.size() > kLongestLineFilePath) {
    StoreError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  return true;
}

// Opens the prepared file with the given access and disposition, letting others read it (and
// do what `share` adds) and nothing else.
void Open(LineFile& file, DWORD access, DWORD disposition, LineFileMode mode,
          DWORD share = FILE_SHARE_READ) {
  HANDLE handle = CreateFileA(file.path.c_str(), access, share, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    StoreLastError();
    return;
  }
  file.handle = handle;
  file.mode = mode;
}

// Refills the read buffer when it is used up. False at the end of the text, or when the
// read failed (its code is then pending).
bool FillBuffer(LineFile& file) {
  if (file.position < file.fill) {
    return true;
  }
  if (file.text_ended) {
    return false;
  }
  DWORD got = 0;
  if (!ReadFile(file.handle, file.buffer, sizeof file.buffer, &got, nullptr)) {
    DWORD code = GetLastError();
    if (code == ERROR_BROKEN_PIPE) {
      file.text_ended = true;
    } else {
      StoreError(static_cast<std::int32_t>(code));
    }
    return false;
  }
  file.position = 0;
  file.fill = got;
  if (got == 0) {
    file.text_ended = true;
    return false;
  }
  return true;
}

// Writes out the buffered bytes. On failure they are dropped and the code is pending.
bool FlushBuffer(LineFile& file) {
  if (file.fill == 0) {
    return true;
  }
  DWORD written = 0;
  BOOL ok = WriteFile(file.handle, file.buffer, file.fill, &written, nullptr);
  DWORD wanted = file.fill;
  file.fill = 0;
  if (!ok) {
    StoreLastError();
    return false;
  }
  if (written != wanted) {
    StoreError(kDiskFull);
    return false;
  }
  return true;
}

}  // namespace

void OpenForReading(LineFile& file) {
  if (Prepare(file)) {
    Open(file, GENERIC_READ, OPEN_EXISTING, LineFileMode::kReading);
  }
}

void OpenForWriting(LineFile& file) {
  if (Prepare(file)) {
    Open(file, GENERIC_WRITE, CREATE_ALWAYS, LineFileMode::kWriting);
  }
}

void CreateAnew(LineFile& file, DWORD share) {
  if (!Prepare(file)) {
    return;
  }
  // Deleting takes the name away, whatever it is: a link goes as a link and a hard link as
  // one name of its file, so that what either leads to keeps every byte.
  if (!DeleteFileA(file.path.c_str())) {
    DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
      StoreError(static_cast<std::int32_t>(code));
      return;
    }
  }
  // A name that appears meanwhile makes the creation fail rather than be opened.
  Open(file, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, LineFileMode::kWriting, share);
}

void RewindForReading(LineFile& file) {
  if (file.mode != LineFileMode::kWriting) {
    StoreError(kIoNotOpenForWriting);
    return;
  }
  if (!FlushBuffer(file)) {
    return;
  }
  if (SetFilePointer(file.handle, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
    StoreLastError();
    return;
  }
  file.mode = LineFileMode::kReading;
  file.position = 0;
  file.fill = 0;
  file.text_ended = false;
}

std::string ReadNextLine(LineFile& file) {
  std::string line;
  if (file.mode != LineFileMode::kReading) {
    StoreError(kIoNotOpenForReading);
    return line;
  }
  while (FillBuffer(file)) {
    const char* start = file.buffer + file.position;
    const char* end = file.buffer + file.fill;
    const char* stop = start;
    while (stop < end && *stop != kLineFeed && *stop != kCarriageReturn && *stop != kEndOfText) {
      ++stop;
    }
    line.append(start, stop);
    file.position = static_cast<DWORD>(stop - file.buffer);
    if (stop == end) {
      continue;
    }
    if (*stop == kEndOfText) {
      // Nothing after a Ctrl-Z is text.
      file.text_ended = true;
      file.position = file.fill;
      return line;
    }
    ++file.position;
    if (*stop == kLineFeed) {
      return line;
    }
    // A CR ends the line only together with the LF right after it, which may come with the
    // next read; a lone CR is dropped.
    if (!FillBuffer(file)) {
      return line;
    }
    if (file.buffer[file.position] == kLineFeed) {
      ++file.position;
      return line;
    }
  }
  return line;
}

bool AtEndOfText(LineFile& file) {
  if (file.mode != LineFileMode::kReading) {
    StoreError(kIoNotOpenForReading);
    return true;
  }
  return !FillBuffer(file) || file.buffer[file.position] == kEndOfText;
}

void WriteText(LineFile& file, std::string_view text) {
  if (file.mode != LineFileMode::kWriting) {
    StoreError(kIoNotOpenForWriting);
    return;
  }
  while (!text.empty()) {
    size_t room = sizeof file.buffer - file.fill;
    size_t taken = text.size() < room ? text.size() : room;
    std::memcpy(file.buffer + file.fill, text.data(), taken);
    file.fill += static_cast<DWORD>(taken);
    text.remove_prefix(taken);
    if (file.fill == sizeof file.buffer) {
      FlushBuffer(file);
    }
  }
}

void WriteLine(LineFile& file, std::string_view text) {
  WriteText(file, text);
  WriteText(file, "\r\n");
}

void CloseLineFile(LineFile& file) {
  if (file.mode == LineFileMode::kClosed) {
    StoreError(kIoNotOpen);
    return;
  }
  if (file.mode == LineFileMode::kWriting && !FlushBuffer(file)) {
    return;  // the handle stays open; the pending code ends the run
  }
  BOOL closed = CloseHandle(file.handle);
  file.handle = INVALID_HANDLE_VALUE;
  file.mode = LineFileMode::kClosed;
  file.position = 0;
  file.fill = 0;
  if (!closed) {
    StoreLastError();
  }
}

[[gnu::noinline]] void CheckIo() {
  if (PendingIoError == 0) {
    return;
  }
  std::int32_t code = PendingIoError;
  PendingIoError = 0;
  throw EInOutError(code, __builtin_return_address(0));
}
