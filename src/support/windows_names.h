// Windows' rules for the paths and names that its ANSI file functions take, in one place for
// the run, the package check and the emulated machine, so that none of them can disagree with
// another about what Windows accepts.
#pragma once

#include <cstddef>
#include <string_view>

namespace windows_names {

// The longest path that an ANSI file function takes whole: MAX_PATH (260) less its NUL.
inline constexpr std::size_t kLongestFilePath = 259;

// The longest path that CreateDirectoryA takes, as passed (a final '\' counts): it keeps room
// below MAX_PATH for an 8.3 name in the new folder, 248 characters (MAX_PATH - 12) with NUL.
inline constexpr std::size_t kLongestFolderPath = 247;

// The characters that no file or folder name may hold: < > : " | ? * and the control
// characters 1-31. ('\' and '/' separate names.)
constexpr bool IsForbiddenNameChar(char c) {
  unsigned char byte = static_cast<unsigned char>(c);
  return byte < 32 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' ||
         c == '*';
}

// True for the names of devices, which name no file in any folder: CON, PRN, AUX, NUL,
// COM1-COM9 and LPT1-LPT9, in any letter case, alone or with any extension ("nul.txt"), and
// with the blanks and dots Windows drops at a name's end ("CON .").
inline bool IsDeviceName(std::string_view name) {
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') {
    stem.remove_suffix(1);
  }
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  auto is = [&](std::string_view word) {
    if (stem.size() != word.size()) {
      return false;
    }
    for (std::size_t i = 0; i < word.size(); ++i) {
      if (upper(stem[i]) != word[i]) {
        return false;
      }
    }
    return true;
  };
  if (is("CON") || is("PRN") || is("AUX") || is("NUL")) {
    return true;
  }
  if (stem.size() == 4 && stem[3] >= '1' && stem[3] <= '9') {
    std::string_view base = stem.substr(0, 3);
    auto same = [&](std::string_view word) {
      return upper(base[0]) == word[0] && upper(base[1]) == word[1] && upper(base[2]) == word[2];
    };
    return same("COM") || same("LPT");
  }
  return false;
}

}  // namespace windows_names
