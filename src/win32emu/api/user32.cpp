// Message boxes on a machine without a screen: each box is logged as one line of
// <root>/messages.log, for tests to read, and shown on standard error, for people.
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

#include "win32emu/faults/fault_points.h"
#include "win32emu/machine/log_escape.h"
#include "win32emu/machine/machine.h"
#include "win32emu/machine/names.h"

namespace {

// Windows' caption for a box that names none.
constexpr char kDefaultCaption[] = "Error";

std::string LogLine(std::string_view text, const char* caption, UINT type) {
  char type_field[16];
  std::snprintf(type_field, sizeof type_field, "0x%04X", type);
  std::string line = type_field;
  line += '\t';
  line += caption != nullptr ? caption : "(null)";
  line += '\t';
  line += emu::EscapeLogText(text);
  line += '\n';
  return line;
}

// The box as people read it: the caption, then the text with CR, LF and CR LF each ending a
// line.
std::string ReadableBox(std::string_view text, const char* caption) {
  std::string box = caption != nullptr ? caption : kDefaultCaption;
  box += '\n';
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '\r') {
      box += '\n';
      if (at + 1 < text.size() && text[at + 1] == '\n') {
        ++at;
      }
    } else {
      box += text[at];
    }
  }
  if (box.back() != '\n') {
    box += '\n';
  }
  return box;
}

// One write on an O_APPEND descriptor, so that lines of concurrent processes never mix.
void AppendWhole(const std::string& path, const std::string& line) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    return;
  }
  ssize_t written;
  do {
    written = write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  close(fd);
}

}  // namespace

int WINAPI MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  std::string_view text = lpText != nullptr ? lpText : "";
  if (DWORD fault = emu::InjectedFault(emu::FaultPoint::kMessageBoxA, lpText); fault != 0) {
    emu::Fail(fault);
    return 0;
  }
  AppendWhole(emu::MachineRoot() + "/messages.log", LogLine(text, lpCaption, uType));
  std::string box = ReadableBox(text, lpCaption);
  std::fwrite(box.data(), 1, box.size(), stderr);
  std::fflush(stderr);
  return IDOK;
}

// Upper case in the machine's code page, as names compare.
DWORD WINAPI CharUpperBuffA(LPSTR lpsz, DWORD cchLength) {
  if (lpsz == nullptr) {
    return 0;
  }
  for (DWORD at = 0; at < cchLength; ++at) {
    lpsz[at] = emu::UpperAnsi(lpsz[at]);
  }
  return cchLength;
}
