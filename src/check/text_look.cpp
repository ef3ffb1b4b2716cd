#include "check/text_look.h"

#include <vector>

#include "platform/platform.h"

namespace {

void LookAtStart(const unsigned char* bytes, DWORD got, TextLook& look) {
  if (got >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    look.utf8_bom = true;
  }
  // With or without its byte order mark, UTF-16 text of Latin letters has every other byte 0.
  if (got >= 2 &&
      ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF) ||
       ((bytes[0] == 0) != (bytes[1] == 0)))) {
    look.utf16 = true;
  }
}

}  // namespace

TextLook LookAtText(const std::string& path) {
  TextLook look;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return look;
  }
  std::vector<unsigned char> buffer(64 * 1024);
  std::uint64_t total = 0;
  std::uint64_t line_length = 0;
  int line = 1;
  bool any_line_feed = false;
  bool lone_cr = false;
  bool after_cr = false;
  DWORD got = 0;
  while (ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
         got > 0) {
    if (total == 0) {
      LookAtStart(buffer.data(), got, look);
    }
    total += got;
    for (DWORD at = 0; at < got; ++at) {
      const unsigned char c = buffer[at];
      if (after_cr && c != '\n') {
        lone_cr = true;
      }
      after_cr = c == '\r';
      if (c == '\n') {
        any_line_feed = true;
        ++line;
        line_length = 0;
        continue;
      }
      if (c == 0 && look.first_nul_line == 0) {
        look.first_nul_line = line;
      }
      if (++line_length > kLongestTextLine) {
        look.line_too_long = true;
        break;
      }
    }
    if (look.line_too_long || total > kLargestText) {
      look.too_large = !look.line_too_long;
      break;
    }
  }
  CloseHandle(file);
  look.cr_line_ends = (lone_cr || after_cr) && !any_line_feed;
  return look;
}
