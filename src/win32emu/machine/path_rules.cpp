#include "win32emu/machine/path_rules.h"

#include "support/windows_names.h"

namespace emu {
namespace {

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// The length of a drive prefix ("C:") at the path's start, else 0.
std::size_t DrivePrefix(std::string_view path) {
  bool letter =
      !path.empty() && ((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z'));
  return letter && path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

// Calls `visit(name, is_last)` for each name of `path` after its drive prefix, empty ones (from
// doubled separators) included; stops at the first for which it returns false.
template <typename Visit>
void ForEachName(std::string_view path, Visit visit) {
  std::size_t start = DrivePrefix(path);
  for (std::size_t at = start; at <= path.size(); ++at) {
    if (at == path.size() || IsSeparator(path[at])) {
      if (!visit(path.substr(start, at - start), at == path.size())) {
        return;
      }
      start = at + 1;
    }
  }
}

bool IsDotStep(std::string_view name) {
  return name == "." || name == "..";
}

// `name` as Windows' normalization leaves it: a name ending in a single '.' loses it, and the
// last name of a path that does not end in a separator loses all its trailing dots and blanks.
std::string_view Trimmed(std::string_view name, bool is_last) {
  if (IsDotStep(name)) {
    return name;
  }
  if (is_last) {
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) {
      name.remove_suffix(1);
    }
  } else if (name.size() >= 2 && name.back() == '.' && name[name.size() - 2] != '.') {
    name.remove_suffix(1);
  }
  return name;
}

}  // namespace

DWORD CheckAnsiPath(std::string_view path, std::size_t longest, LastName last) {
  if (path.size() > longest) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  DWORD refused = 0;
  ForEachName(path, [&](std::string_view name, bool is_last) {
    for (char c : name) {
      bool wildcard = c == '*' || c == '?';
      if (windows_names::IsForbiddenNameChar(c) &&
          !(is_last && wildcard && last == LastName::kWildcards)) {
        refused = ERROR_INVALID_NAME;
        return false;
      }
    }
    return true;
  });
  if (refused != 0) {
    return refused;
  }
  // A device's name is one with the dots and blanks that normalization drops, or without.
  ForEachName(path, [&](std::string_view name, bool is_last) {
    if (windows_names::IsDeviceName(Trimmed(name, is_last))) {
      refused = is_last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
      return false;
    }
    return true;
  });
  return refused;
}

std::string TrimDotsAndBlanks(std::string_view path) {
  std::string trimmed(path.substr(0, DrivePrefix(path)));
  trimmed.reserve(path.size());
  ForEachName(path, [&](std::string_view name, bool is_last) {
    trimmed += Trimmed(name, is_last);
    if (!is_last) {
      trimmed += '\\';
    }
    return true;
  });
  return trimmed;
}

}  // namespace emu
