#include "win32emu/machine/path_rules.h"

#include <vector>

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

// The names of `path` after its drive prefix, empty ones (from doubled separators) included.
std::vector<std::string_view> Names(std::string_view path) {
  std::vector<std::string_view> names;
  std::size_t start = DrivePrefix(path);
  for (std::size_t at = start; at <= path.size(); ++at) {
    if (at == path.size() || IsSeparator(path[at])) {
      names.push_back(path.substr(start, at - start));
      start = at + 1;
    }
  }
  return names;
}

bool IsDotStep(std::string_view name) {
  return name == "." || name == "..";
}

}  // namespace

DWORD CheckAnsiPath(std::string_view path, std::size_t longest, LastName last) {
  if (path.size() > longest) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  std::vector<std::string_view> names = Names(path);
  for (std::size_t at = 0; at < names.size(); ++at) {
    bool is_last = at + 1 == names.size();
    for (char c : names[at]) {
      bool wildcard = c == '*' || c == '?';
      if (windows_names::IsForbiddenNameChar(c) &&
          !(is_last && wildcard && last == LastName::kWildcards)) {
        return ERROR_INVALID_NAME;
      }
    }
  }
  const std::string trimmed_path = TrimDotsAndBlanks(path);
  std::vector<std::string_view> trimmed = Names(trimmed_path);
  for (std::size_t at = 0; at < trimmed.size(); ++at) {
    if (windows_names::IsDeviceName(trimmed[at])) {
      return at + 1 == trimmed.size() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    }
  }
  return 0;
}

std::string TrimDotsAndBlanks(std::string_view path) {
  std::size_t prefix = DrivePrefix(path);
  std::string trimmed(path.substr(0, prefix));
  std::vector<std::string_view> names = Names(path);
  for (std::size_t at = 0; at < names.size(); ++at) {
    std::string_view name = names[at];
    bool is_last = at + 1 == names.size();
    if (is_last && !IsDotStep(name)) {
      while (!name.empty() && (name.back() == '.' || name.back() == ' ')) {
        name.remove_suffix(1);
      }
    } else if (!IsDotStep(name) && name.size() >= 2 && name.back() == '.' &&
               name[name.size() - 2] != '.') {
      name.remove_suffix(1);
    }
    trimmed += name;
    if (!is_last) {
      trimmed += '\\';
    }
  }
  return trimmed;
}

}  // namespace emu
