// Code page conversion: GetCPInfo, WideCharToMultiByte and MultiByteToWideChar, between UTF-16 and
// the machine's ANSI code page only, with no flags, as the file functions convert names (a
// character the code page lacks becomes '?'; the emulation knows no best fit). They change
// nothing on the machine, so they ask no fault hook.
#include <algorithm>
#include <string>
#include <string_view>

#include "win32emu/machine/machine.h"
#include "win32emu/machine/names.h"

namespace {

bool IsMachinePage(UINT code_page) {
  return code_page == CP_ACP || code_page == emu::MachineCodePage();
}

template <typename Char>
size_t LengthOf(const Char* text, int given) {
  if (given >= 0) {
    return static_cast<size_t>(given);
  }
  size_t length = 0;
  while (text[length] != 0) {
    ++length;
  }
  return length + 1;  // the terminating zero is converted too
}

// Copies the converted text out, or tells its size where `room` is 0.
template <typename Text, typename Char>
int GiveOut(const Text& converted, Char* out, int room) {
  if (room == 0) {
    return static_cast<int>(converted.size());
  }
  if (converted.size() > static_cast<size_t>(room)) {
    emu::Fail(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::copy(converted.begin(), converted.end(), out);
  return static_cast<int>(converted.size());
}

}  // namespace

// The machine's code pages take one byte a character, with '?' for a character they lack.
BOOL WINAPI GetCPInfo(UINT CodePage, LPCPINFO lpCPInfo) {
  if (!IsMachinePage(CodePage) || lpCPInfo == nullptr) {
    return emu::Fail(ERROR_INVALID_PARAMETER);
  }
  *lpCPInfo = CPINFO{};
  lpCPInfo->MaxCharSize = 1;
  lpCPInfo->DefaultChar[0] = '?';
  return TRUE;
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                               LPBOOL lpUsedDefaultChar) {
  if (!IsMachinePage(CodePage) || dwFlags != 0 || lpDefaultChar != nullptr ||
      lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && lpMultiByteStr == nullptr)) {
    emu::Fail(ERROR_INVALID_PARAMETER);
    return 0;
  }
  bool lossy = false;
  const std::string converted = emu::AnsiFromUtf16(
      std::u16string_view(lpWideCharStr, LengthOf(lpWideCharStr, cchWideChar)), &lossy);
  if (lpUsedDefaultChar != nullptr) {
    *lpUsedDefaultChar = lossy ? TRUE : FALSE;
  }
  return GiveOut(converted, lpMultiByteStr, cbMultiByte);
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
  if (!IsMachinePage(CodePage) || dwFlags != 0 || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
      cbMultiByte < -1 || cchWideChar < 0 || (cchWideChar > 0 && lpWideCharStr == nullptr)) {
    emu::Fail(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::u16string converted =
      emu::Utf16FromAnsi(std::string_view(lpMultiByteStr, LengthOf(lpMultiByteStr, cbMultiByte)));
  return GiveOut(converted, lpWideCharStr, cchWideChar);
}
