#include "package/package_files.h"
#include "support/folders.h"
#include "support/line_file.h"

namespace {

// The product's own installer owns the options file's first 14 lines; line 2 is ours.
constexpr int kOptionsLinesRead = 14;
constexpr int kProductKeyLine = 2;

}  // namespace

std::string ReadProductKey() {
  return ReadProductKey(GetPackageDir());
}

std::string ReadProductKey(const std::string& folder) {
  LineFile options(folder + "options.inf");
  OpenForReading(options);
  CheckIo();
  std::string product_key;
  for (int number = 1; number <= kOptionsLinesRead; ++number) {
    std::string line = ReadNextLine(options);
    CheckIo();
    if (number == kProductKeyLine) {
      product_key = std::move(line);
    }
  }
  CloseLineFile(options);
  CheckIo();
  return product_key;
}
