// One line per record in the machine's text logs: the bytes that would break a line or hide
// in a terminal are written as escapes.
#pragma once

#include <string>
#include <string_view>

namespace emu {

// `text` with '\' as "\\", CR as "\r", LF as "\n", TAB as "\t", and any other byte below 0x20
// or 0x7F as "\xHH" (two upper-case hex digits). Every other byte passes unchanged.
std::string EscapeLogText(std::string_view text);

}  // namespace emu
