// The ANSI code pages the emulated machine supports (1250, 1251, 1252), generated once into
// code_page_tables.cpp by generate_code_page_tables.py. The package check narrows a user's
// wide registry export through them, in both builds.
#pragma once

#include <span>

namespace regfile {

// The characters of bytes 0x80-0xFF in `code_page` (bytes below 0x80 are ASCII), or nullptr
// for a code page the machine does not know.
const char32_t* HighHalfOf(unsigned code_page);

// A lower-case letter of a supported code page and its upper case.
struct CaseFold {
  char32_t lower;
  char32_t upper;
};

// Every letter of the supported code pages whose upper case is another single character,
// ordered by `lower`.
std::span<const CaseFold> UpperCaseTable();

}  // namespace regfile
