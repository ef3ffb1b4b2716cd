// On the emulated machine the check can take the users' code page for names, as for exports.
#include "check/names_code_page.h"

#include "win32emu/machine/names.h"

void ReadNamesInCodePage(unsigned code_page) {
  emu::UseCodePage(code_page);
}
