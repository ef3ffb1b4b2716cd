// How the emulated machine's ANSI file functions read and give names: through the machine's
// ANSI code page to and from host names in UTF-8, and compared without regard to letter case.
//
// The code page is the number in <root>/codepage (1250, 1251 or 1252), 1252 when that file is
// missing. A host name that is not valid UTF-8 reads with '?' for each byte outside a valid
// sequence, as Wine reads it; such a name cannot be opened by a Windows program.
#pragma once

#include <string>
#include <string_view>

namespace emu {

// The machine's ANSI code page.
unsigned MachineCodePage();

// Makes this process read and give names in `code_page` in place of the machine's setting, as
// a program on a machine of that code page would. It holds only when called before the first
// name is converted: false when the code page is not supported or another was in use already.
bool UseCodePage(unsigned code_page);

// A name or path in the machine's code page (or `code_page`), as UTF-8 for the host.
std::string HostFromAnsi(std::string_view ansi);
std::string HostFromAnsi(std::string_view ansi, unsigned code_page);
// HostFromAnsi(ansi) appended to `host`.
void AppendHostFromAnsi(std::string& host, std::string_view ansi);

// A host name or path (UTF-8) in the machine's code page (or `code_page`): a character the
// code page lacks, and every byte of an invalid UTF-8 sequence, becomes '?'.
std::string AnsiFromHost(std::string_view host);
std::string AnsiFromHost(std::string_view host, unsigned code_page);

// A host name (UTF-8) in UTF-16, as Windows' wide functions give it: every byte of an invalid
// UTF-8 sequence becomes U+FFFD.
std::u16string Utf16FromHost(std::string_view host);
// UTF-16 text in the machine's code page: a character the code page lacks, and a surrogate
// without its partner, becomes '?'. `lossy` tells whether any did.
std::string AnsiFromUtf16(std::u16string_view wide, bool* lossy);
// Text in the machine's code page in UTF-16.
std::u16string Utf16FromAnsi(std::string_view ansi);

// The key under which names that differ only in letter case are equal: the name's characters
// in upper case, as NTFS compares them, for every letter of the supported code pages.
std::string CaseBlindKey(std::string_view host_name);

// The upper case of byte `c` in the machine's code page (itself where it has none there).
char UpperAnsi(char c);

}  // namespace emu
