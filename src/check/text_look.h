// A look at a description file's bytes before the run's readers take it: the encoding
// mistakes that change what they read, and a bound on what the check reads at all.
#pragma once

#include <cstdint>
#include <string>

// A line longer than this is no line of a description file; the check reads no further.
inline constexpr std::uint64_t kLongestTextLine = 1024 * 1024;
// Nor is a file larger than this (a device linked in its place never ends).
inline constexpr std::uint64_t kLargestText = 64 * 1024 * 1024;

struct TextLook {
  bool utf8_bom = false;
  bool utf16 = false;
  bool cr_line_ends = false;  // lone CRs end its lines, and no LF does
  int first_nul_line = 0;     // the line of the first NUL byte, 0 when there is none
  bool line_too_long = false;
  bool too_large = false;
};

// Reads at most kLargestText bytes of the file at `path`, and no line beyond kLongestTextLine.
TextLook LookAtText(const std::string& path);
