#include "check/package_check.h"

#include <algorithm>
#include <map>
#include <new>
#include <optional>
#include <utility>

#include "check/file_opens.h"
#include "check/folder_identity.h"
#include "check/text_look.h"
#include "driver/refusals.h"
#include "driver/update_sequence.h"
#include "package/package_files.h"
#include "support/ascii_text.h"
#include "support/failure.h"
#include "support/folders.h"
#include "support/line_file.h"
#include "transfer/folder_walk.h"
#include "transfer/launcher_files.h"

namespace {

// More entries than any quest package holds: beyond them the walk stops, since links that
// lead back into the content folder would make it endless (the update follows them too).
constexpr size_t kMostContentEntries = 200000;

void Add(Findings& findings, Severity severity, const char* code, std::string file, int line,
         std::string message) {
  findings.push_back(Finding{severity, code, std::move(file), line, std::move(message)});
}

// The name as Windows compares names: in upper case, in the user's code page.
std::string CaseBlind(std::string name) {
  CharUpperBuffA(name.data(), static_cast<DWORD>(name.size()));
  return name;
}

bool HasNonAscii(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      return true;
    }
  }
  return false;
}

std::string ReadFailure(std::int32_t code) {
  return code == ERROR_FILE_NOT_FOUND ? "missing" : "cannot be read: " + IoErrorText(code);
}

// Reads with one of the package readers; an I/O failure gives its code, running out of
// memory (on a hostile line of gigabytes) the code for that.
template <typename Read>
std::int32_t ReadChecked(Read read) {
  try {
    read();
  } catch (const EInOutError& failure) {
    PendingIoError = 0;
    return failure.Code();
  } catch (const std::bad_alloc&) {
    PendingIoError = 0;
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  return 0;
}

// The encoding mistakes of a description file, named, since the run's readers show them only
// as a line that is not what its author wrote. `first_line_used` says whether the run takes
// line 1. False, with `error` the code for running out of memory, when the file is too long
// for the check to read it.
bool LookAtDescription(const std::string& folder, const char* file, bool first_line_used,
                       std::int32_t& error, Findings& findings) {
  const TextLook look = LookAtText(folder + file);
  if (look.line_too_long || look.too_large) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    Add(findings, Severity::kError, "text-too-long", file, 0,
        look.line_too_long
            ? "a line longer than " + std::to_string(kLongestTextLine) +
                  " bytes: the update may run out of memory on it; the check reads no further"
            : "more than " + std::to_string(kLargestText) +
                  " bytes, no description file: the check reads no further");
    return false;
  }
  if (look.utf16) {
    Add(findings, Severity::kError, "text-utf16", file, 0,
        "saved as UTF-16 (\"Unicode\"): the update reads 8-bit text, and every line comes "
        "with NUL bytes and ends at the first; save it as ANSI");
    return true;
  }
  if (look.utf8_bom) {
    Add(findings, first_line_used ? Severity::kError : Severity::kWarning, "text-utf8-bom", file, 1,
        "begins with a UTF-8 byte order mark: the update reads its 3 bytes as part of line 1; "
        "save it as ANSI");
  }
  if (look.cr_line_ends) {
    Add(findings, Severity::kError, "text-cr-line-ends", file, 0,
        "its lines end in CR alone: the update reads the whole file as line 1; end them in "
        "CR LF");
  }
  if (look.first_nul_line != 0) {
    Add(findings, Severity::kWarning, "text-nul-bytes", file, look.first_nul_line,
        "holds NUL bytes: Windows takes a name or key only up to the first");
  }
  return true;
}

void CheckOptions(PackageFacts& facts, Findings& findings) {
  if (!LookAtDescription(facts.folder, "options.inf", false, facts.options_error, findings)) {
    return;
  }
  facts.options_error = ReadChecked([&] { facts.product_key = ReadProductKey(facts.folder); });
  // The key goes to Windows as a C string: it ends at its first NUL byte.
  facts.product_key = facts.product_key.substr(0, facts.product_key.find('\0'));
  if (facts.options_error != 0) {
    Add(findings, Severity::kError, "options-inf-unread", "options.inf", 0,
        ReadFailure(facts.options_error) + ": the update ends with an error box at once");
    return;
  }
  if (facts.product_key.empty()) {
    Add(findings, Severity::kError, "product-key-empty", "options.inf", 2,
        "the product key is empty: the update takes the key \"Software\" itself for the "
        "product's record and ends in silence");
  } else if (IsBlank(facts.product_key.back()) ||
             facts.product_key.find('\t') != std::string::npos) {
    // Windows drops the blanks at a folder name's end when it makes one and refuses a tab in
    // any name, so no installer made a folder C:\WINDOWS\<key>\ for such a key: no
    // installed product can match it.
    Add(findings, Severity::kError, "product-key-blank", "options.inf", 2,
        "the product key " + Quoted(facts.product_key) +
            " ends in a blank or holds a tab: Windows makes no folder of that name, so no "
            "installed product has it, and every user gets the \"nothing installed\" box");
  } else if (IsBlank(facts.product_key.front())) {
    Add(findings, Severity::kWarning, "product-key-blank", "options.inf", 2,
        "the product key " + Quoted(facts.product_key) +
            " begins with a blank: it matches only a product installed under that very key");
  } else if (HasNonAscii(facts.product_key)) {
    Add(findings, Severity::kWarning, "non-ascii-name", "options.inf", 2,
        "the product key " + Quoted(facts.product_key) +
            " has bytes outside ASCII: its folder name depends on the user's code page");
  }
}

// Entries of the version list: blanks at either end, empty ones and repeats.
void CheckVersionEntries(const std::vector<std::pair<int, std::string>>& entries,
                         Findings& findings) {
  std::map<std::string, int> first_line;
  for (const auto& [line, entry] : entries) {
    if (entry.empty()) {
      Add(findings, Severity::kWarning, "version-empty", "set.inf", line,
          "an empty version entry: only an empty \"ProductVersion\" matches it");
    } else if (IsBlank(entry.front()) || IsBlank(entry.back())) {
      Add(findings, Severity::kWarning, "version-blank", "set.inf", line,
          "the version entry " + Quoted(entry) +
              " has a blank at an end: it matches only a \"ProductVersion\" with that blank");
    }
    auto [seen, fresh] = first_line.emplace(entry, line);
    if (!fresh) {
      Add(findings, Severity::kWarning, "version-duplicate", "set.inf", line,
          "the version entry " + Quoted(entry) + " repeats line " + std::to_string(seen->second));
    }
  }
}

// True when `identity` is that of one of the folders in `inside`.
bool LeadsBack(const std::optional<FolderIdentity>& identity,
               const std::vector<std::optional<FolderIdentity>>& inside) {
  return identity && std::find(inside.begin(), inside.end(), identity) != inside.end();
}

// An entry of a folder, as the folder's other entries are compared with it.
struct ListedName {
  std::string name;
  bool is_folder = false;
};

// The content folder's tree, walked as the run walks it: nothing in it, names outside ASCII or
// that the user's code page cannot hold, what cannot be read, links back to a folder it is
// inside, and destinations under the default Windows folder that the run refuses as too long.
void CheckContentTree(PackageFacts& facts, const std::string& name, Findings& findings) {
  const std::string content = facts.folder + name + "\\";
  const std::string destination = ProductFolder(kDefaultWindowsDir, facts.product_key) + name;
  const bool destination_known = facts.options_error == 0;
  const std::string shown = name + "\\";
  // The identities of the folders entered, by their paths below the content folder.
  std::map<std::string, std::optional<FolderIdentity>> identities = {{"", IdentityOf(content)}};
  // The names listed so far in each folder, by the name as Windows compares it.
  std::map<std::string, std::map<std::string, ListedName>> listed;
  size_t walked = 0;
  bool folder_too_long = false;
  bool root_unread = false;
  auto entry_found = [&](const WalkedEntry& entry) {
    if (++walked > kMostContentEntries) {
      Add(findings, Severity::kError, "content-endless", shown, 0,
          "the content folder holds more than " + std::to_string(kMostContentEntries) +
              " entries, more than any quest package: the check stopped walking it and "
              "judged nothing beyond them");
      facts.content_walk_ends = false;
      return WalkOn::kStop;
    }
    const std::string& path = entry.relative;
    const size_t cut = path.rfind('\\');
    const std::string folder = cut == std::string::npos ? "" : path.substr(0, cut);
    const std::string leaf = cut == std::string::npos ? path : path.substr(cut + 1);
    const std::string place = shown + path;
    const bool is_folder = entry.IsFolder();
    auto [other, fresh] = listed[folder].emplace(CaseBlind(leaf), ListedName{leaf, is_folder});
    if (!fresh && is_folder && other->second.is_folder) {
      // Named by the greater of the two, so that the finding does not hang on the order
      // listed.
      const std::string later = std::max(leaf, other->second.name);
      const std::string clash = shown + (folder.empty() ? "" : folder + "\\") + later;
      Add(findings, Severity::kError, "content-case-clash", clash, 0,
          "its name differs only in case from another beside it: on Windows both are one "
          "folder, and the update copies both into it, a file of one name in both only once");
    }
    if (entry.attributes == INVALID_FILE_ATTRIBUTES) {
      // The run's own look ahead asks the same of the name as listed, and refuses.
      Add(findings, Severity::kError, "name-not-shown", place, 0,
          "the name cannot be shown in the code page of the users' machines (it is listed "
          "with \"?\" or names nothing): the update refuses to start");
      return WalkOn::kPass;
    }
    if (HasNonAscii(leaf)) {
      Add(findings, Severity::kWarning, "non-ascii-name", place, 0,
          "the name has bytes outside ASCII: it depends on the user's code page");
    }
    std::optional<FolderIdentity> identity;
    if (is_folder) {
      // The content folder and every folder on the way to this one.
      std::vector<std::optional<FolderIdentity>> inside = {identities[""]};
      for (size_t at = 0; !folder.empty() && at != std::string::npos;) {
        at = folder.find('\\', at + 1);
        inside.push_back(identities[folder.substr(0, at)]);
      }
      identity = IdentityOf(content + path);
      if (LeadsBack(identity, inside)) {
        Add(findings, Severity::kError, "content-link-loop", place, 0,
            "leads back to a folder it is inside: the update's walk goes round it until its "
            "paths grow too long for Windows");
        return WalkOn::kPass;
      }
    }
    const std::string target = destination + "\\" + path;
    if (destination_known && CopyDestinationRefusal(target, is_folder)) {
      if (is_folder) {
        // The update refuses at the first such folder, and nothing below it can be made: one
        // finding says it, and the walk goes no deeper.
        if (!folder_too_long) {
          Add(findings, Severity::kError, "long-folder-destination", place, 0,
              "its destination " + target + "\\ is " + std::to_string(target.size() + 1) +
                  " characters long: Windows cannot create it, so the update refuses to "
                  "start");
        }
        folder_too_long = true;
        return WalkOn::kPass;
      }
      Add(findings, Severity::kError, "long-destination", place, 0,
          "its destination " + target + " is " + std::to_string(target.size()) +
              " characters long: Windows cannot copy it, so the update refuses to start");
    }
    if (is_folder) {
      identities[path] = identity;
      return WalkOn::kEnter;
    }
    if (DWORD code = OpenForReadingError(content + path); code != 0) {
      Add(findings, Severity::kError, "content-unread", place, 0,
          "cannot be read: " + IoErrorText(static_cast<std::int32_t>(code)) +
              ": the update cannot copy it");
    }
    return WalkOn::kPass;
  };
  auto folder_unread = [&](const std::string& folder, DWORD code) {
    root_unread = root_unread || folder.empty();
    Add(findings, Severity::kError, "content-unread", shown + folder + (folder.empty() ? "" : "\\"),
        0,
        "cannot be read: " + IoErrorText(static_cast<std::int32_t>(code)) +
            ": the update refuses to start");
  };
  WalkFolder(content, entry_found, folder_unread);
  if (walked == 0 && !root_unread) {
    Add(findings, Severity::kWarning, "content-empty", shown, 0,
        "the content folder is empty: the update copies nothing");
  }
}

// True when a name of `path`, between separators, is "." or "..", or dots alone: a path that
// leads out of the folder it should be in, or names that folder itself.
bool HasDotName(const std::string& path) {
  size_t start = 0;
  for (size_t at = 0; at <= path.size(); ++at) {
    if (at == path.size() || path[at] == '\\' || path[at] == '/') {
      const std::string name = path.substr(start, at - start);
      if (!name.empty() && name.find_first_not_of('.') == std::string::npos) {
        return true;
      }
      start = at + 1;
    }
  }
  return false;
}

// Line 1 of set.inf; the content folder's name, without a trailing '\', when it names a
// folder that the package holds.
std::optional<std::string> CheckContentName(const PackageFacts& facts, Findings& findings) {
  std::string name = facts.content_folder;
  if (name.empty()) {
    Add(findings, Severity::kError, "content-folder-missing", "set.inf", 1,
        "no content folder is named: the update takes the product's folder itself for it and "
        "copies nothing");
    return std::nullopt;
  }
  if (name.size() > 1 && name.back() == '\\') {
    // The run copies the folder whole all the same; the name alone is not as documented.
    name.pop_back();
    Add(findings, Severity::kWarning, "content-folder-trailing-backslash", "set.inf", 1,
        "the content folder " + Quoted(facts.content_folder) +
            " ends in a backslash: remove it, line 1 names the folder alone");
  }
  if (HasDotName(name)) {
    Add(findings, Severity::kError, "content-folder-dots", "set.inf", 1,
        "the content folder " + Quoted(facts.content_folder) +
            " names \".\" or \"..\": no folder of the package, and not one the update can copy");
    return std::nullopt;
  }
  if (name.find('/') != std::string::npos) {
    Add(findings, Severity::kError, "content-folder-slash", "set.inf", 1,
        "the content folder " + Quoted(facts.content_folder) +
            " holds a slash, which Windows takes for a backslash: the update ends with an "
            "error box");
    return std::nullopt;
  }
  if (name.find('\\') != std::string::npos) {
    Add(findings, Severity::kError, "content-folder-backslash", "set.inf", 1,
        "the content folder " + Quoted(facts.content_folder) +
            " holds a backslash: the update creates only its last folder, in a folder that "
            "must be there already");
  }
  if (std::string trimmed = name.substr(0, name.find_last_not_of(". ") + 1);
      CaseBlind(trimmed) == "OLDEXE") {
    Add(findings, Severity::kWarning, "content-folder-oldexe", "set.inf", 1,
        "the content folder " + Quoted(name) +
            " has the name of the folder that keeps the installed launcher files: where the "
            "update replaces them, it has just made OldExe\\ and ends in silence, copying "
            "nothing");
  }
  if (HasNonAscii(name)) {
    Add(findings, Severity::kWarning, "non-ascii-name", "set.inf", 1,
        "the content folder " + Quoted(name) +
            " has bytes outside ASCII: it depends on the user's code page");
  }
  if (!DirectoryExists(facts.folder + name + "\\")) {
    Add(findings, Severity::kError, "content-folder-missing", "set.inf", 1,
        "the content folder " + Quoted(name) + " is not in the package");
    return std::nullopt;
  }
  return name;
}

// The first line after "[end]" that holds anything: the run never reads it.
void CheckAfterEnd(const std::string& folder, int end_line, Findings& findings) {
  int found_line = 0;
  ReadChecked([&] {
    LineFile set_file(folder + "set.inf");
    OpenForReading(set_file);
    CheckIo();
    for (int line = 1;; ++line) {
      bool at_end = AtEndOfText(set_file);
      CheckIo();
      if (at_end) {
        break;
      }
      std::string text = ReadNextLine(set_file);
      CheckIo();
      if (line > end_line && !text.empty()) {
        found_line = line;
        break;
      }
    }
    CloseLineFile(set_file);
    CheckIo();
  });
  if (found_line != 0) {
    Add(findings, Severity::kWarning, "after-end", "set.inf", found_line,
        "text after \"[end]\" (line " + std::to_string(end_line) + ") is never read");
  }
}

// set.inf, line by line; the content folder's name when it is in the package.
std::optional<std::string> CheckSetFile(PackageFacts& facts, Findings& findings) {
  if (!LookAtDescription(facts.folder, "set.inf", true, facts.set_error, findings)) {
    return std::nullopt;
  }
  facts.set_error = ReadChecked([&] { facts.content_folder = ReadContentFolder(facts.folder); });
  if (facts.set_error != 0) {
    Add(findings, Severity::kError, "set-inf-unread", "set.inf", 0,
        ReadFailure(facts.set_error) + ": the update ends with an error box at once");
    return std::nullopt;
  }
  const std::optional<std::string> content_present = CheckContentName(facts, findings);
  std::vector<std::pair<int, std::string>> entries;
  int end_line = 0;
  bool terminated = false;
  std::int32_t list_error = ReadChecked([&] {
    VersionListEnd end = ReadVersionList(facts.folder, [&](int line, const std::string& entry) {
      entries.emplace_back(line, entry);
      return true;
    });
    end_line = end.line;
    terminated = end.kind == VersionListEnd::kTerminator;
  });
  if (list_error != 0) {
    Add(findings, Severity::kError, "set-inf-unread", "set.inf", 0,
        ReadFailure(list_error) + ": the update ends with an error box");
    return content_present;
  }
  CheckVersionEntries(entries, findings);
  if (entries.empty()) {
    Add(findings, Severity::kError, "version-list-empty", "set.inf", end_line,
        "no version entry before \"[end]\" or the end of the file: no installed product "
        "matches, and every user gets \"This updater can update only  version!\"");
  }
  if (!terminated) {
    Add(findings, Severity::kWarning, "no-end", "set.inf", end_line,
        "no \"[end]\": the version list is read to the end of the file");
  } else {
    CheckAfterEnd(facts.folder, end_line, findings);
  }
  return content_present;
}

void CheckNewExe(PackageFacts& facts, Findings& findings) {
  const std::string new_folder = facts.folder + "NewExe\\";
  facts.has_new_exe = DirectoryExists(new_folder);
  if (!facts.has_new_exe) {
    return;
  }
  std::string missing;
  for (const char* name : kLauncherFiles) {
    if (FileExists(new_folder + name)) {
      facts.new_launcher_files.push_back(name);
      if (DWORD code = OpenForReadingError(new_folder + name); code != 0) {
        Add(findings, Severity::kError, "new-exe-unread", std::string("NewExe\\") + name, 0,
            "cannot be read: " + IoErrorText(static_cast<std::int32_t>(code)) +
                ": the update refuses to start");
      }
      // The copy keeps the attribute, and the update refuses to replace a read-only file.
      const DWORD attributes = GetFileAttributesA((new_folder + name).c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        Add(findings, Severity::kWarning, "new-exe-read-only", std::string("NewExe\\") + name, 0,
            "read-only: the installed file is too, and a later update that replaces it refuses "
            "until its user clears the attribute");
      }
    } else {
      missing += missing.empty() ? name : std::string(", ") + name;
    }
  }
  if (!missing.empty()) {
    Add(findings, Severity::kWarning, "new-exe-incomplete", "NewExe\\", 0,
        "lacks " + missing + ": the installed ones stay as they are");
  }
  std::vector<ListedName> entries;
  WalkFolder(
      new_folder,
      [&](const WalkedEntry& entry) {
        entries.push_back(ListedName{entry.relative, entry.IsFolder()});
        return WalkOn::kPass;
      },
      nullptr);
  auto listed_exactly = [&](const std::string& name) {
    for (const ListedName& entry : entries) {
      if (entry.name == name) {
        return true;
      }
    }
    return false;
  };
  for (const ListedName& entry : entries) {
    bool launcher = false;
    for (const std::string& name : facts.new_launcher_files) {
      // Where names are case-blind, the launcher file was found under this name.
      launcher = launcher || (!entry.is_folder &&
                              (entry.name == name ||
                               (SameIgnoringAsciiCase(entry.name, name) && !listed_exactly(name))));
    }
    if (!launcher) {
      Add(findings, Severity::kWarning, "new-exe-other", "NewExe\\" + entry.name, 0,
          "not a launcher file: never copied");
    }
    if (HasNonAscii(entry.name)) {
      Add(findings, Severity::kWarning, "non-ascii-name", "NewExe\\" + entry.name, 0,
          "the name has bytes outside ASCII: it depends on the user's code page");
    }
  }
  std::string new_key;
  if (ReadChecked([&] { new_key = ReadProductKey(new_folder); }) == 0 && facts.options_error == 0 &&
      new_key != facts.product_key) {
    Add(findings, Severity::kError, "new-exe-product-key", "NewExe\\options.inf", 2,
        "names the product key " + Quoted(new_key) + ", the package " + Quoted(facts.product_key) +
            ": the installed options.inf is replaced by it and the product loses its key");
  }
}

void CheckUninstall(PackageFacts& facts, Findings& findings) {
  facts.has_uninstall_inf = FileExists(facts.folder + "uninstall.inf");
  if (!facts.has_uninstall_inf) {
    Add(findings, Severity::kWarning, "no-uninstall", "uninstall.inf", 0,
        "missing: the product gets no uninstall.in");
  } else if (DWORD code = OpenForReadingError(facts.folder + "uninstall.inf"); code != 0) {
    Add(findings, Severity::kError, "uninstall-unread", "uninstall.inf", 0,
        "cannot be read: " + IoErrorText(static_cast<std::int32_t>(code)) +
            ": the update cannot copy it as uninstall.in");
  }
}

}  // namespace

PackageCheck CheckPackage(std::string folder) {
  if (!folder.empty() && folder.back() != '\\' && folder.back() != '/') {
    folder += '\\';
  }
  PackageCheck check;
  check.facts.shown = folder;
  check.facts.folder = std::move(folder);
  CheckOptions(check.facts, check.findings);
  if (std::optional<std::string> content = CheckSetFile(check.facts, check.findings)) {
    CheckContentTree(check.facts, *content, check.findings);
  }
  CheckNewExe(check.facts, check.findings);
  CheckUninstall(check.facts, check.findings);
  return check;
}
