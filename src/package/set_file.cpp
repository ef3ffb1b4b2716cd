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

// Reads the next entry into `line`; false at "[end]". A list whose file ends before its
// "[end]" ends there, as if the terminator had been read.
bool ReadListLine(LineFile& set_file, std::string& line) {
  bool at_end = AtEndOfText(set_file);
  CheckIo();
  if (at_end) {
    return false;
  }
  line = ReadNextLine(set_file);
  CheckIo();
  return line != kListEnd;
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

VersionScan FindSupportedVersion(const std::string& package_dir,
                                 const std::string& installed_version) {
  LineFile set_file(package_dir + "set.inf");
  OpenVersionList(set_file);
  VersionScan scan;
  std::string line;
  while (ReadListLine(set_file, line)) {
    scan.last_listed_version = line;
    if (scan.last_listed_version == installed_version) {
      break;
    }
  }
  CloseVersionList(set_file);
  scan.found = scan.last_listed_version == installed_version;
  return scan;
}

std::string GetLastSupportedVersion(const std::string& package_dir) {
  LineFile set_file(package_dir + "set.inf");
  OpenVersionList(set_file);
  std::string last_listed_version;
  std::string line;
  while (ReadListLine(set_file, line)) {
    last_listed_version = line;
  }
  CloseVersionList(set_file);
  return last_listed_version;
}
