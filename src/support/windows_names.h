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

// The stem by which Windows knows a device: the name before its first dot, without the blanks
// that Windows drops at its end ("CON ." is "CON").
constexpr std::string_view DeviceStem(std::string_view name) {
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') {
    stem.remove_suffix(1);
  }
  return stem;
}

// Whether `text` is `upper_word` in any letter case of its ASCII letters.
constexpr bool IsWordInAnyCase(std::string_view text, std::string_view upper_word) {
  if (text.size() != upper_word.size()) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if ((c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c) != upper_word[i]) {
      return false;
    }
  }
  return true;
}

// True for the names of devices, which name no file in any folder: CON, PRN, AUX, NUL,
// COM1-COM9 and LPT1-LPT9, in any letter case, alone or with any extension ("nul.txt"), and
// with the blanks and dots Windows drops at a name's end ("CON .").
constexpr bool IsDeviceName(std::string_view name) {
  const std::string_view stem = DeviceStem(name);
  if (IsWordInAnyCase(stem, "CON") || IsWordInAnyCase(stem, "PRN") ||
      IsWordInAnyCase(stem, "AUX") || IsWordInAnyCase(stem, "NUL")) {
    return true;
  }
  return stem.size() == 4 && stem[3] >= '1' && stem[3] <= '9' &&
         (IsWordInAnyCase(stem.substr(0, 3), "COM") || IsWordInAnyCase(stem.substr(0, 3), "LPT"));
}

// True as well for the names that some Windows versions take for devices: CONIN$, CONOUT$, and
// COM or LPT with any fourth character (0, or a superscript digit).
constexpr bool MayBeDeviceName(std::string_view name) {
  const std::string_view stem = DeviceStem(name);
  return IsDeviceName(name) || IsWordInAnyCase(stem, "CONIN$") ||
         IsWordInAnyCase(stem, "CONOUT$") ||
         (stem.size() == 4 &&
          (IsWordInAnyCase(stem.substr(0, 3), "COM") || IsWordInAnyCase(stem.substr(0, 3), "LPT")));
}

}  // namespace windows_names
