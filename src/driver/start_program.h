// Starting the product's own setup program at the end of a complete run.
#pragma once

#include <string>

// Starts the program at `path` with the bare path as its command line, shown normally, and
// does not wait for it. Nothing is reported if it does not start. The path is named as the
// program itself, so a path with blanks can never start another program.
void StartProgram(const std::string& path);
