#include "check/package_check.h"

#include <algorithm>
#include <map>
#include <new>
#include <utility>

#include "check/folder_listing.h"
#include "package/package_files.h"
#include "support/failure.h"
#include "support/folders.h"
#include "support/line_file.h"
#include "support/windows_names.h"
#include "transfer/launcher_files.h"

namespace {

// A longer destination path fails to copy on Windows, without a word.
constexpr size_t kLongestCopiedPath = windows_names::kLongestFilePath;
// Windows creates no folder whose path, with its final '\', is longer; the update's folder
// creation then fails and ends it with the error box.
constexpr size_t kLongestCreatedFolderPath = windows_names::kLongestFolderPath;
// More entries than any quest package holds: beyond them the walk stops, since links that
// lead back into the content folder would make it endless (the update follows them too).
constexpr size_t kMostContentEntries = 200000;

void Add(Findings& findings, Severity severity, const char* code, std::string file, int line,
         std::string message) {
  findings.push_back(Finding{severity, code, std::move(file), line, std::move(message)});
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

char FoldLetter(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t at = 0; at < a.size(); ++at) {
    if (FoldLetter(a[at]) != FoldLetter(b[at])) {
      return false;
    }
  }
  return true;
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

void CheckOptions(PackageFacts& facts, Findings& findings) {
  facts.options_error = ReadChecked([&] { facts.product_key = ReadProductKey(facts.folder); });
  if (facts.options_error != 0) {
    Add(findings, Severity::kError, "options-inf-unread", "options.inf", 0,
        ReadFailure(facts.options_error) + ": the update ends with an error box at once");
    return;
  }
  if (facts.product_key.empty()) {
    Add(findings, Severity::kError, "product-key-empty", "options.inf", 2,
        "the product key is empty: the update takes the key \"Software\" itself for the "
        "product's record and ends in silence");
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

// The content folder's tree: nothing in it, names outside ASCII, and destinations under the
// default Windows folder too long to copy to. Walked without recursion, so that no depth of
// tree can exhaust the stack.
void CheckContentTree(PackageFacts& facts, const std::string& content, Findings& findings) {
  const std::string destination = std::string(kDefaultWindowsDir) + "\\" + facts.product_key +
                                  "\\" + facts.content_folder + "\\";
  const bool destination_known = facts.options_error == 0;
  std::vector<std::string> pending = {""};  // folders to list, relative to the content folder
  bool first = true;
  size_t walked = 0;
  bool folder_too_long = false;
  while (!pending.empty()) {
    if (walked > kMostContentEntries) {
      Add(findings, Severity::kError, "content-endless", content.substr(facts.folder.size()), 0,
          "the content folder holds more than " + std::to_string(kMostContentEntries) +
              " entries, or links that lead back into it: the check stopped walking it, and "
              "the update may never end");
      facts.content_walk_ends = false;
      return;
    }
    std::string relative = std::move(pending.back());
    pending.pop_back();
    std::vector<FolderEntry> entries = ListFolder(content + relative);
    if (first && entries.empty()) {
      Add(findings, Severity::kWarning, "content-empty", content.substr(facts.folder.size()), 0,
          "the content folder is empty: the update copies nothing");
    }
    first = false;
    walked += entries.size();
    std::map<std::string, const FolderEntry*> names_here;  // by the name as Windows compares it
    for (const FolderEntry& entry : entries) {
      const std::string path = relative + entry.name;
      const std::string place = facts.content_folder + "\\" + path;
      auto [other, fresh] = names_here.emplace(CaseBlind(entry.name), &entry);
      if (!fresh && entry.is_folder && other->second->is_folder) {
        // Named by the greater of the two, so that the finding does not hang on the order
        // listed.
        const std::string later = std::max(entry.name, other->second->name);
        const std::string clash = facts.content_folder + "\\" + relative + later;
        if (facts.content_case_clash.empty()) {
          facts.content_case_clash = clash;
        }
        Add(findings, Severity::kError, "content-case-clash", clash, 0,
            "its name differs only in case from another beside it: on Windows both are one, "
            "and the update ends with an error box when it comes to make it again");
      }
      if (HasNonAscii(entry.name)) {
        Add(findings, Severity::kWarning, "non-ascii-name", place, 0,
            "the name has bytes outside ASCII: it depends on the user's code page");
      }
      const size_t length = destination.size() + path.size();
      if (destination_known && entry.is_folder && length + 1 > kLongestCreatedFolderPath) {
        // The update ends at the first such folder, and nothing below it can be made: one
        // finding says it, and the walk goes no deeper.
        if (!folder_too_long) {
          Add(findings, Severity::kError, "long-folder-destination", place, 0,
              "its destination " + destination + path + "\\ is " + std::to_string(length + 1) +
                  " characters long: Windows cannot create it, so the update refuses to "
                  "start");
        }
        folder_too_long = true;
        continue;
      }
      if (destination_known && length > kLongestCopiedPath) {
        Add(findings, Severity::kError, "long-destination", place, 0,
            "its destination " + destination + path + " is " + std::to_string(length) +
                " characters long: Windows cannot copy it, so the update refuses to start");
      }
      if (entry.is_folder) {
        pending.push_back(path + "\\");
      }
    }
  }
}

// Line 1 of set.inf; true when it names a folder that the package holds.
bool CheckContentName(const PackageFacts& facts, Findings& findings) {
  const std::string& name = facts.content_folder;
  if (name.empty()) {
    Add(findings, Severity::kError, "content-folder-missing", "set.inf", 1,
        "no content folder is named: the update takes the product's folder itself for it and "
        "copies nothing");
    return false;
  }
  if (name.find('\\') != std::string::npos) {
    Add(findings, Severity::kError, "content-folder-backslash", "set.inf", 1,
        "the content folder " + Quoted(name) +
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
    return false;
  }
  return true;
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

// set.inf, line by line; true when its content folder is in the package.
bool CheckSetFile(PackageFacts& facts, Findings& findings) {
  facts.set_error = ReadChecked([&] { facts.content_folder = ReadContentFolder(facts.folder); });
  if (facts.set_error != 0) {
    Add(findings, Severity::kError, "set-inf-unread", "set.inf", 0,
        ReadFailure(facts.set_error) + ": the update ends with an error box at once");
    return false;
  }
  const bool content_present = CheckContentName(facts, findings);
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
    } else {
      missing += missing.empty() ? name : std::string(", ") + name;
    }
  }
  if (!missing.empty()) {
    Add(findings, Severity::kWarning, "new-exe-incomplete", "NewExe\\", 0,
        "lacks " + missing + ": the installed ones stay as they are");
  }
  const std::vector<FolderEntry> entries = ListFolder(new_folder);
  auto listed_exactly = [&](const std::string& name) {
    for (const FolderEntry& entry : entries) {
      if (entry.name == name) {
        return true;
      }
    }
    return false;
  };
  for (const FolderEntry& entry : entries) {
    bool launcher = false;
    for (const std::string& name : facts.new_launcher_files) {
      // Where names are case-blind, the launcher file was found under this name.
      launcher =
          launcher ||
          (!entry.is_folder &&
           (entry.name == name || (SameIgnoringCase(entry.name, name) && !listed_exactly(name))));
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
  }
}

}  // namespace

PackageCheck CheckPackage(std::string folder) {
  if (folder.empty() || (folder.back() != '\\' && folder.back() != '/')) {
    folder += '\\';
  }
  PackageCheck check;
  check.facts.folder = std::move(folder);
  CheckOptions(check.facts, check.findings);
  if (CheckSetFile(check.facts, check.findings)) {
    CheckContentTree(check.facts, check.facts.folder + check.facts.content_folder + "\\",
                     check.findings);
  }
  CheckNewExe(check.facts, check.findings);
  CheckUninstall(check.facts, check.findings);
  return check;
}
