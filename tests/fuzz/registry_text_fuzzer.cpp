// The reader of the registry's REGEDIT4 text on any bytes, and of a user's export that may be
// wide: no crash and no hang, and what it accepts, written back and read again, is the same
// hive, whose text is then the same again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_machine.h"
#include "regfile/registry_text.h"

namespace {

using regfile::Hive;
using regfile::Key;
using regfile::Value;

bool SameValues(const Key& a, const Key& b) {
  if (a.values.size() != b.values.size()) {
    return false;
  }
  for (size_t i = 0; i < a.values.size(); ++i) {
    const Value& x = a.values[i];
    const Value& y = b.values[i];
    if (x.name != y.name || x.type != y.type || x.data != y.data) {
      return false;
    }
  }
  return true;
}

// The first key at which the hives differ, or "" when they are the same.
std::string Difference(const Hive& a, const Hive& b) {
  if (a.keys().size() != b.keys().size()) {
    return "key count " + std::to_string(a.keys().size()) + " vs " +
           std::to_string(b.keys().size());
  }
  for (size_t i = 0; i < a.keys().size(); ++i) {
    const Key& x = a.keys()[i];
    const Key& y = b.keys()[i];
    if (x.path != y.path) {
      return "key " + std::to_string(i) + " path [" + x.path + "] vs [" + y.path + "]";
    }
    if (!SameValues(x, y)) {
      return "the values of key [" + x.path + "]";
    }
  }
  return "";
}

// What a reader accepted reads back the same from its written text.
void CheckReadBack(const Hive& hive) {
  regfile::ParseError error;
  std::string written = regfile::WriteHive(hive);
  Hive again;
  if (!regfile::ParseHive(written, again, error)) {
    fuzz::Fail("the written text is refused at line " + std::to_string(error.line) + ": " +
               error.message);
  }
  if (std::string difference = Difference(hive, again); !difference.empty()) {
    fuzz::Fail("the hive read back differs: " + difference);
  }
  if (regfile::WriteHive(again) != written) {
    fuzz::Fail("the hive read back is written differently");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::StartFreshMachine();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  // Wide text is read as an export; everything else both ways reads alike.
  const bool wide = text.starts_with("\xFF\xFE");
  Hive hive;
  regfile::ParseError error;
  if (!(wide ? regfile::ParseExport(text, hive, error) : regfile::ParseHive(text, hive, error))) {
    if (error.line < 1) {
      fuzz::Fail("a refused text with no line at fault");
    }
    return 0;
  }
  CheckReadBack(hive);
  return 0;
}
