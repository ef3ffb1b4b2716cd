// Checked line files: 8-bit text read and written line by line through a buffer of
// kLineFileBuffer bytes, so that a list of many records costs few reads and writes.
//
// No operation reports its own failure. Each stores its error code in PendingIoError, and
// the caller follows every operation with CheckIo, which turns a pending code into an
// EInOutError.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "support/windows_names.h"

enum class LineFileMode { kClosed, kReading, kWriting };

constexpr DWORD kLineFileBuffer = 64 * 1024;

struct LineFile {
  explicit LineFile(std::string file_path) : path(std::move(file_path)) {}
  LineFile(const LineFile&) = delete;
  LineFile& operator=(const LineFile&) = delete;

  std::string path;
  LineFileMode mode = LineFileMode::kClosed;
  HANDLE handle = INVALID_HANDLE_VALUE;
  // Reading: bytes read and not yet taken. Writing: bytes not yet written.
  char buffer[kLineFileBuffer] = {};
  DWORD position = 0;
  DWORD fill = 0;
  // Reading: the end of the text was met (end of file, or a Ctrl-Z byte).
  bool text_ended = false;
};

// The line file's own codes, beside the Windows error codes.
constexpr std::int32_t kIoNotOpen = 103;
constexpr std::int32_t kIoNotOpenForReading = 104;
constexpr std::int32_t kIoNotOpenForWriting = 105;

// The longest path a line file opens; a longer one fails as a path not found, since it
// cannot be passed whole to the platform.
constexpr size_t kLongestLineFilePath = windows_names::kLongestFilePath;

// The code of the last failed operation not yet checked; 0 when there is none.
extern thread_local std::int32_t PendingIoError;

// Opens the existing file for reading, closing it first if it is open.
void OpenForReading(LineFile& file);

// Creates the file, or empties it when it exists, for writing; closes it first if open.
void OpenForWriting(LineFile& file);

// For a file that others may meddle with: removes whatever stands at the path as a name (a
// link itself, not what it leads to), then creates the file new for writing, and for reading
// once rewound, through one handle that lets others read it and nothing else (`share`
// FILE_SHARE_READ), or also delete or rename it (with FILE_SHARE_DELETE, for a file that is
// to take another name while it is open). A name that appears at the path in between fails
// the creation (ERROR_FILE_EXISTS). A missing name, or a missing folder, is no failure of the
// removal.
void CreateAnew(LineFile& file, DWORD share = FILE_SHARE_READ);

// Writes out what is buffered and reads the file from its start, through the same handle. A
// file opened by OpenForWriting cannot be read: its reads then fail with 5.
void RewindForReading(LineFile& file);

// The next line without its line end (LF, or CR LF; a lone CR is dropped). At the end of the
// text (the end of the file, or a Ctrl-Z byte) it gives the empty text, however often asked.
std::string ReadNextLine(LineFile& file);

// True when no line is left to read: the end of the file or a Ctrl-Z byte comes next.
bool AtEndOfText(LineFile& file);

// Appends the text's bytes; WriteLine appends CR LF after them.
void WriteText(LineFile& file, std::string_view text);
void WriteLine(LineFile& file, std::string_view text);

// Writes out what is buffered and closes the file.
void CloseLineFile(LineFile& file);

// Raises EInOutError for the pending code, if there is one, and clears it. The error names
// the place of the CheckIo call as where it was raised.
void CheckIo();
