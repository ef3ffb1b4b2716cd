#include "win32emu/machine/log_escape.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LogEscape, EscapesWhatWouldBreakOrHideInALine) {
  using emu::EscapeLogText;
  EXPECT_EQ(EscapeLogText("C:\\Program Files\\setup.exe"), "C:\\\\Program Files\\\\setup.exe");
  EXPECT_EQ(EscapeLogText("a\rb\nc\td"), "a\\rb\\nc\\td");
  EXPECT_EQ(EscapeLogText(std::string("\x00\x01\x1F\x7F", 4)), "\\x00\\x01\\x1F\\x7F");
  EXPECT_EQ(EscapeLogText("caf\xC3\xA9 ~!\"'"), "caf\xC3\xA9 ~!\"'");
  EXPECT_EQ(EscapeLogText(""), "");
}

}  // namespace
