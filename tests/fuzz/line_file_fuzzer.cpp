// The line reader of LineFile against the plain line rules of line_model.h: a file holding
// the input is read line by line, with AtEndOfText asked before every read, up to three reads
// past the end of the text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_machine.h"
#include "line_model.h"
#include "support/failure.h"
#include "support/line_file.h"

namespace {

const std::string kPath = "C:\\TEMP\\lines.txt";
constexpr int kReadsPastTheEnd = 3;

std::string Shown(const std::string& text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : text.substr(0, 64)) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 0x0F];
  }
  return hex + (text.size() > 64 ? "... (" + std::to_string(text.size()) + " bytes)" : "");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::StartFreshMachine();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  fuzz::PutFile(kPath, bytes);
  fuzz::LineModel model(bytes);
  LineFile file(kPath);
  try {
    OpenForReading(file);
    CheckIo();
    int past_the_end = 0;
    for (int number = 1; past_the_end <= kReadsPastTheEnd; ++number) {
      bool expected_end = model.AtEnd();
      bool at_end = AtEndOfText(file);
      CheckIo();
      if (at_end != expected_end) {
        fuzz::Fail("AtEndOfText before line " + std::to_string(number) + " is " +
                   (at_end ? "true" : "false"));
      }
      past_the_end += expected_end ? 1 : 0;
      std::string expected = model.Next();
      std::string line = ReadNextLine(file);
      CheckIo();
      if (line != expected) {
        fuzz::Fail("line " + std::to_string(number) + " is " + Shown(line) + ", expected " +
                   Shown(expected));
      }
    }
    CloseLineFile(file);
    CheckIo();
  } catch (const EInOutError& error) {
    fuzz::Fail("EInOutError " + std::to_string(error.Code()) + " reading a regular file");
  }
  return 0;
}
