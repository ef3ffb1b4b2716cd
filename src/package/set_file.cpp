#include "package/package_files.h"
#include "support/line_file.h"

namespace {

const char kListEnd[] = "[end]";

// Opens set.inf and moves past its first two lines, to the start of the version list.
void OpenVersionList(LineFile& set_file) {
  OpenForReading(set_file);
  CheckIo();
  for (int skipped = 0; skipped < 2; ++skipped) {
    ReadNextLine(set_file);
    CheckIo();
  }
}

void CloseVersionList(LineFile& set_file) {
  CloseLineFile(set_file);
  CheckIo();
}

}  // namespace

std::string ReadContentFolder(const std::string& package_dir) {
  LineFile set_file(package_dir + "set.inf");
  OpenForReading(set_file);
  CheckIo();
  std::string content_folder = ReadNextLine(set_file);
  CheckIo();
  CloseLineFile(set_file);
  CheckIo();
  return content_folder;
}

VersionListEnd ReadVersionList(
    const std::string& package_dir,
    const std::function<bool(int line, const std::string& entry)>& visit) {
  LineFile set_file(package_dir + "set.inf");
  OpenVersionList(set_file);
  VersionListEnd end;
  int number = 2;
  for (;;) {
    // A list whose file ends before its "[end]" ends there, as if the terminator had been
    // read.
    bool at_end = AtEndOfText(set_file);
    CheckIo();
    if (at_end) {
      end.kind = VersionListEnd::kEndOfFile;
      break;
    }
    std::string line = ReadNextLine(set_file);
    CheckIo();
    ++number;
    if (line == kListEnd) {
      end.kind = VersionListEnd::kTerminator;
      break;
    }
    if (!visit(number, line)) {
      end.kind = VersionListEnd::kStopped;
      break;
    }
  }
  end.line = number;
  CloseVersionList(set_file);
  return end;
}

VersionScan FindSupportedVersion(const std::string& package_dir,
                                 const std::string& installed_version) {
  VersionScan scan;
  ReadVersionList(package_dir, [&](int, const std::string& entry) {
    scan.last_listed_version = entry;
    return scan.last_listed_version != installed_version;
  });
  scan.found = scan.last_listed_version == installed_version;
  return scan;
}

std::string GetLastSupportedVersion(const std::string& package_dir) {
  std::string last_listed_version;
  ReadVersionList(package_dir, [&](int, const std::string& entry) {
    last_listed_version = entry;
    return true;
  });
  return last_listed_version;
}
