// The readers of the package's description files on any bytes: set.inf and options.inf hold
// the input, and every reader's result is compared with the plain line rules of
// line_model.h. The fuzzer runs from a copy of itself at C:\package\setup.exe, so that
// ReadProductKey reads C:\package\options.inf inside the fuzzer's own machine.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_machine.h"
#include "line_model.h"
#include "package/package_files.h"
#include "support/failure.h"
#include "support/folders.h"

namespace {

const std::string kPackage = "C:\\package\\";

struct Expected {
  std::string content_folder;  // line 1
  std::string product_key;     // line 2 of the first 14
  std::vector<std::string> list;
};

Expected Model(std::string_view bytes) {
  Expected expected;
  fuzz::LineModel lines(bytes);
  expected.content_folder = lines.Next();
  expected.product_key = lines.Next();
  while (!lines.AtEnd()) {
    std::string entry = lines.Next();
    if (entry == "[end]") {
      break;
    }
    expected.list.push_back(entry);
  }
  return expected;
}

VersionScan ModelScan(const std::vector<std::string>& list, const std::string& installed) {
  VersionScan scan;
  for (const std::string& entry : list) {
    scan.last_listed_version = entry;
    if (entry == installed) {
      break;
    }
  }
  scan.found = scan.last_listed_version == installed;
  return scan;
}

void Expect(bool holds, const std::string& what) {
  if (!holds) {
    fuzz::Fail(what);
  }
}

// Versions to look for: some listed entries chosen by the input, near misses of them, the
// empty text and the terminator.
std::vector<std::string> InstalledVersions(const std::vector<std::string>& list,
                                           std::string_view bytes) {
  std::vector<std::string> versions = {"", "[end]", "1.00"};
  if (list.empty() || bytes.empty()) {
    return versions;
  }
  for (size_t at : {size_t{0}, bytes.size() / 2, bytes.size() - 1}) {
    const std::string& entry = list[static_cast<unsigned char>(bytes[at]) % list.size()];
    versions.push_back(entry);
    versions.push_back(entry + " ");
    versions.push_back(entry.substr(0, entry.size() / 2));
  }
  versions.push_back(list.back());
  return versions;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
  fuzz::StartFreshMachine();
  fuzz::RunFromPackageFolder(*argv, kPackage);
  if (GetPackageDir() != kPackage) {
    fuzz::Fail("the package folder is " + GetPackageDir() + ", not " + kPackage);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  fuzz::PutFile(kPackage + "set.inf", bytes);
  fuzz::PutFile(kPackage + "options.inf", bytes);
  Expected expected = Model(bytes);
  try {
    Expect(ReadContentFolder(kPackage) == expected.content_folder, "ReadContentFolder");
    Expect(ReadProductKey() == expected.product_key, "ReadProductKey");
    std::string last = GetLastSupportedVersion(kPackage);
    Expect(last == (expected.list.empty() ? std::string() : expected.list.back()),
           "GetLastSupportedVersion gave " + last);
    for (const std::string& installed : InstalledVersions(expected.list, bytes)) {
      VersionScan scan = FindSupportedVersion(kPackage, installed);
      VersionScan model = ModelScan(expected.list, installed);
      Expect(scan.found == (scan.last_listed_version == installed),
             "found is not last_listed_version == installed for " + installed);
      Expect(scan.found == model.found && scan.last_listed_version == model.last_listed_version,
             "FindSupportedVersion(" + installed + ") gave " + scan.last_listed_version);
    }
  } catch (const EInOutError& error) {
    fuzz::Fail("EInOutError " + std::to_string(error.Code()) + " reading the package files");
  }
  return 0;
}
