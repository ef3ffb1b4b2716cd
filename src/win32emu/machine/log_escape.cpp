#include "win32emu/machine/log_escape.h"

namespace emu {

std::string EscapeLogText(std::string_view text) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        escaped += "\\\\";
        break;
      case '\r':
        escaped += "\\r";
        break;
      case '\n':
        escaped += "\\n";
        break;
      case '\t':
        escaped += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          escaped += "\\x";
          escaped += kHexDigits[byte >> 4];
          escaped += kHexDigits[byte & 0x0F];
        } else {
          escaped += c;
        }
    }
  }
  return escaped;
}

}  // namespace emu
