#include "transfer/folder_walk.h"

namespace {

struct Walk {
  const std::string& folder;
  const std::function<void(const WalkedEntry&)>& entry;
  const std::function<void(const std::string&, DWORD)>& unlisted;

  void Unlisted(const std::string& relative, DWORD code) const {
    if (unlisted) {
      unlisted(relative, code);
    }
  }

  // Walks the folder `folder` + `prefix`, where `prefix` is "" or ends in '\'.
  void Level(const std::string& prefix) const {
    const std::string source = folder + prefix;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((source + "*.*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
      // A folder with nothing to list, not even "." and "..", is no failure.
      DWORD code = GetLastError();
      if (code != ERROR_FILE_NOT_FOUND && code != ERROR_NO_MORE_FILES) {
        Unlisted(prefix.empty() ? prefix : prefix.substr(0, prefix.size() - 1), code);
      }
      return;
    }
    for (;;) {
      const std::string name = found.cFileName;
      if (name != "." && name != "..") {
        WalkedEntry walked;
        walked.relative = prefix + name;
        walked.attributes = GetFileAttributesA((source + name).c_str());
        entry(walked);
        if (walked.IsFolder()) {
          Level(walked.relative + "\\");
        }
      }
      // The walk of a folder ends at the first step that brings no new entry: a failed step
      // leaves the entry as it was.
      if (!FindNextFileA(search, &found)) {
        DWORD code = GetLastError();
        if (code != ERROR_NO_MORE_FILES) {
          Unlisted(prefix.empty() ? prefix : prefix.substr(0, prefix.size() - 1), code);
        }
        break;
      }
      if (name == found.cFileName) {
        break;
      }
    }
    FindClose(search);
  }
};

}  // namespace

void WalkFolder(const std::string& folder, const std::function<void(const WalkedEntry&)>& entry,
                const std::function<void(const std::string&, DWORD)>& unlisted) {
  Walk{folder, entry, unlisted}.Level("");
}
