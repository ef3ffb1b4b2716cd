#include "transfer/file_steps.h"

#include <algorithm>
#include <vector>

#include "support/folders.h"
#include "transfer/folder_walk.h"

namespace {

// A scanner holds a file it checks for a moment: ten tries, 200 ms apart.
constexpr int kTries = 10;
constexpr DWORD kPauseMilliseconds = 200;

// What a program that holds a file for a moment makes a copy fail with; a folder's rename
// fails with access denied while a file in it is held.
bool Passing(DWORD code, bool renaming) {
  return code == ERROR_SHARING_VIOLATION || (renaming && code == ERROR_ACCESS_DENIED);
}

template <typename Step>
bool Retried(bool renaming, Step step) {
  for (int attempt = 1;; ++attempt) {
    if (step()) {
      return true;
    }
    const DWORD code = GetLastError();
    if (attempt == kTries || !Passing(code, renaming)) {
      SetLastError(code);
      return false;
    }
    Sleep(kPauseMilliseconds);
  }
}

// The handle's next bytes, up to the buffer's size; false when the read fails.
bool ReadSome(HANDLE file, std::vector<char>& buffer, DWORD& got) {
  return ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) != 0;
}

}  // namespace

std::string TemporaryNameOf(const std::string& path) {
  const size_t slash = path.find_last_of('\\');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  const size_t end = std::min(start + 2, path.size());
  const bool tilded = path.find_first_not_of('~', start) >= end;
  std::string temporary = path;
  std::fill(temporary.begin() + static_cast<std::ptrdiff_t>(start),
            temporary.begin() + static_cast<std::ptrdiff_t>(end), tilded ? '!' : '~');
  return temporary;
}

bool EnsureFolder(const std::string& folder) {
  if (CreateDirectoryA(folder.c_str(), nullptr)) {
    return true;
  }
  const DWORD code = GetLastError();
  if (code == ERROR_ALREADY_EXISTS && DirectoryExists(folder)) {
    return true;
  }
  SetLastError(code);
  return false;
}

bool CopyFileRetried(const std::string& source, const std::string& target, bool fail_if_exists) {
  return Retried(false,
                 [&] { return CopyFileA(source.c_str(), target.c_str(), fail_if_exists) != 0; });
}

bool CopyFileOver(const std::string& source, const std::string& target) {
  return CopyFileRetried(source, target, true) ||
         (GetLastError() == ERROR_FILE_EXISTS && CopyFileRetried(source, target, false));
}

bool MoveRetried(const std::string& from, const std::string& to, DWORD flags) {
  return Retried(true, [&] { return MoveFileExA(from.c_str(), to.c_str(), flags) != 0; });
}

bool ClearReadOnly(const std::string& path, DWORD attributes) {
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    attributes = GetFileAttributesA(path.c_str());
  }
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) ==
             FILE_ATTRIBUTE_READONLY &&
         SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
}

bool SameBytes(const std::string& a, const std::string& b) {
  HANDLE first = CreateFileA(a.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (first == INVALID_HANDLE_VALUE) {
    return false;
  }
  HANDLE second = CreateFileA(b.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  bool same = second != INVALID_HANDLE_VALUE;
  std::vector<char> one(64 * 1024);
  std::vector<char> other(one.size());
  while (same) {
    DWORD got_one = 0;
    DWORD got_other = 0;
    same = ReadSome(first, one, got_one) && ReadSome(second, other, got_other) &&
           got_one == got_other && std::equal(one.begin(), one.begin() + got_one, other.begin());
    if (got_one == 0) {
      break;
    }
  }
  if (second != INVALID_HANDLE_VALUE) {
    CloseHandle(second);
  }
  CloseHandle(first);
  return same;
}

void RemoveTree(const std::string& folder) {
  std::vector<WalkedEntry> entries;
  WalkFolder(
      folder,
      [&](const WalkedEntry& entry) {
        entries.push_back(entry);
        return WalkOn::kEnter;
      },
      nullptr, EntryFacts::kListed);  // the listing tells a folder from a file
  // A folder's entries come after it: taken away from the last, each folder is empty by then.
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    const std::string path = folder + it->relative;
    if (it->IsFolder()) {
      RemoveDirectoryA(path.c_str());
    } else {
      ClearReadOnly(path, it->attributes);
      DeleteFileA(path.c_str());
    }
  }
  RemoveDirectoryA(folder.c_str());
}
