// One thing the package check found wrong with a package, and where.
#pragma once

#include <string>
#include <vector>

enum class Severity { kError, kWarning };

struct Finding {
  Severity severity = Severity::kWarning;
  std::string code;     // a short stable name, such as "version-blank"
  std::string file;     // the file or folder in the package, relative to it ("set.inf")
  int line = 0;         // the line in `file`, or 0 when the finding is about the path
  std::string message;  // what is wrong and what the update does because of it
};

using Findings = std::vector<Finding>;

// The place a finding names: "set.inf:3", or the path alone.
std::string PlaceOf(const Finding& finding);

// A text between double quotes, its control bytes and quotes escaped, so that a blank at an
// end or a line break shows; backslashes stay as they are, as in the paths they are part of.
std::string Quoted(const std::string& text);

// A text as the text report prints it: control bytes, DEL and bytes of 0x80 and above as
// \xHH, so that an invisible byte (a byte order mark, a blank of another code page) shows, and
// the report reads the same in any terminal.
std::string Visible(const std::string& text);

int CountOf(const Findings& findings, Severity severity);
