// Which code page the package's names are judged in: that of the users' machines, where the
// build can choose it.
#pragma once

// Asks that names be read as a machine of `code_page` reads them, before the package is read,
// where this build can: on Windows names are read in the code page of the machine the check
// runs on, and no other.
void ReadNamesInCodePage(unsigned code_page);
