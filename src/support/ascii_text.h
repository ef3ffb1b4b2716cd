// Blanks and letter case as the package's description files and registry exports are read:
// ASCII alone, whatever the code page.
#pragma once

#include <string_view>

inline bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

inline char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t at = 0; at < a.size(); ++at) {
    if (FoldAscii(a[at]) != FoldAscii(b[at])) {
      return false;
    }
  }
  return true;
}
