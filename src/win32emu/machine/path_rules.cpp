#include "win32emu/machine/path_rules.h"

#include <array>

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

// The characters that no name may hold, by byte.
constexpr auto kForbidden = [] {
  std::array<bool, 256> forbidden{};
  for (unsigned byte = 0; byte < forbidden.size(); ++byte) {
    forbidden[byte] = windows_names::IsForbiddenNameChar(static_cast<char>(byte));
  }
  return forbidden;
}();

// False for a name that cannot be a device's, which begin with C, P, A, N or L.
bool MayBeDeviceName(std::string_view name) {
  if (name.size() < 3) {
    return false;
  }
  const char first = static_cast<char>(name[0] & ~0x20);
  return first == 'C' || first == 'P' || first == 'A' || first == 'N' || first == 'L';
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
  // One pass over the path: a forbidden character anywhere outranks a device's name, which is
  // one with the dots and blanks that normalization drops, or without.
  DWORD device = 0;
  bool wildcard = false;  // in the name being read; wildcards may stand in the last name only
  std::size_t start = DrivePrefix(path);
  for (std::size_t at = start; at <= path.size(); ++at) {
    const bool is_last = at == path.size();
    if (is_last || IsSeparator(path[at])) {
      if (wildcard && !is_last) {
        return ERROR_INVALID_NAME;
      }
      const std::string_view name = path.substr(start, at - start);
      if (device == 0 && MayBeDeviceName(name) &&
          windows_names::IsDeviceName(Trimmed(name, is_last))) {
        device = is_last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
      }
      start = at + 1;
      continue;
    }
    const char c = path[at];
    if (kForbidden[static_cast<unsigned char>(c)]) {
      if ((c == '*' || c == '?') && last == LastName::kWildcards) {
        wildcard = true;
      } else {
        return ERROR_INVALID_NAME;
      }
    }
  }
  return device;
}

bool TrimsNothing(std::string_view path) {
  bool as_it_is = !path.empty() && path.back() != '.' && path.back() != ' ';
  for (std::size_t at = 0; as_it_is && at + 1 < path.size(); ++at) {
    as_it_is = path[at] != '/' && !(IsSeparator(path[at + 1]) && path[at] == '.');
  }
  return as_it_is;
}

std::string TrimDotsAndBlanks(std::string_view path) {
  // Most paths have no name to trim and no '/' to turn into '\\'.
  if (TrimsNothing(path)) {
    return std::string(path);
  }
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
