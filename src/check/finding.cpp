#include "check/finding.h"

std::string PlaceOf(const Finding& finding) {
  if (finding.line == 0) {
    return finding.file;
  }
  return finding.file + ":" + std::to_string(finding.line);
}

int CountOf(const Findings& findings, Severity severity) {
  int count = 0;
  for (const Finding& finding : findings) {
    count += finding.severity == severity ? 1 : 0;
  }
  return count;
}

// A text shown between quotes, with its control bytes escaped, so that a blank at an end or
// a line break shows.
std::string Quoted(const std::string& text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string shown = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c == '"') {
      shown += '\\';
      shown += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      shown += "\\x";
      shown += kDigits[byte >> 4];
      shown += kDigits[byte & 0x0F];
    } else {
      shown += c;
    }
  }
  return shown + "\"";
}

std::string Visible(const std::string& text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string shown;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F) {
      shown += "\\x";
      shown += kDigits[byte >> 4];
      shown += kDigits[byte & 0x0F];
    } else {
      shown += c;
    }
  }
  return shown;
}
