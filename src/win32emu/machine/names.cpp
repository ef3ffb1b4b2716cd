#include "win32emu/machine/names.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <unordered_map>

#include "regfile/code_page_tables.h"
#include "win32emu/machine/machine.h"

namespace emu {
namespace {

// The code pages' characters are those of the registry text's tables.
using regfile::CaseFold;
using regfile::HighHalfOf;
using regfile::UpperCaseTable;

constexpr unsigned kDefaultCodePage = 1252;
constexpr char32_t kInvalid = 0xFFFD;

unsigned ReadCodePage() {
  std::ifstream setting(MachineRoot() + "/codepage");
  unsigned page = 0;
  if (setting >> page && HighHalfOf(page) != nullptr) {
    return page;
  }
  return kDefaultCodePage;
}

// The byte of each character of the code page's high half.
std::unordered_map<char32_t, char> BytesOfCharacters(unsigned code_page) {
  std::unordered_map<char32_t, char> table;
  const char32_t* high = HighHalfOf(code_page);
  for (unsigned at = 0; high != nullptr && at < 128; ++at) {
    table.emplace(high[at], static_cast<char>(0x80 + at));
  }
  return table;
}

const std::unordered_map<char32_t, char>& MachineBytesOfCharacters() {
  static const std::unordered_map<char32_t, char> bytes = BytesOfCharacters(MachineCodePage());
  return bytes;
}

char32_t UpperOf(char32_t c) {
  if (c < 0x80) {
    return c >= 'a' && c <= 'z' ? c - 32 : c;
  }
  std::span<const CaseFold> table = UpperCaseTable();
  auto found =
      std::lower_bound(table.begin(), table.end(), c,
                       [](const CaseFold& fold, char32_t wanted) { return fold.lower < wanted; });
  return found != table.end() && found->lower == c ? found->upper : c;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The character that starts at `at` in UTF-8 text; `at` moves past it. A byte that starts no
// valid sequence (a stray continuation, an overlong or surrogate form, a cut-off sequence) is
// one invalid character of its own.
char32_t NextCharacter(std::string_view text, size_t& at) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  if (lead < 0x80) {
    ++at;
    return lead;
  }
  size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (lead >= 0xF5 || length == 0 || at + length > text.size()) {
    ++at;
    return kInvalid;
  }
  char32_t c = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) {
      ++at;
      return kInvalid;
    }
    c = (c << 6) | (byte(at + i) & 0x3F);
  }
  bool overlong = (length == 3 && c < 0x800) || (length == 4 && c < 0x10000);
  if (overlong || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++at;
    return kInvalid;
  }
  at += length;
  return c;
}

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

namespace {

unsigned chosen_code_page = 0;  // set by UseCodePage; 0: the machine's setting

}  // namespace

unsigned MachineCodePage() {
  static const unsigned page = chosen_code_page != 0 ? chosen_code_page : ReadCodePage();
  return page;
}

bool UseCodePage(unsigned code_page) {
  if (HighHalfOf(code_page) == nullptr) {
    return false;
  }
  chosen_code_page = code_page;
  return MachineCodePage() == code_page;
}

std::string HostFromAnsi(std::string_view ansi) {
  return HostFromAnsi(ansi, MachineCodePage());
}

namespace {

void AppendThrough(std::string& host, std::string_view ansi, const char32_t* high) {
  if (IsAscii(ansi) || high == nullptr) {
    host.append(ansi);
    return;
  }
  host.reserve(host.size() + ansi.size() + ansi.size() / 2);
  for (char c : ansi) {
    auto byte = static_cast<unsigned char>(c);
    AppendUtf8(host, byte < 0x80 ? byte : high[byte - 0x80]);
  }
}

}  // namespace

std::string HostFromAnsi(std::string_view ansi, unsigned code_page) {
  std::string host;
  AppendThrough(host, ansi, HighHalfOf(code_page));
  return host;
}

void AppendHostFromAnsi(std::string& host, std::string_view ansi) {
  AppendThrough(host, ansi, HighHalfOf(MachineCodePage()));
}

namespace {

// Appends the code page's byte of `c`, or '?' where the code page lacks it; false for '?'.
bool AppendAnsiOf(std::string& ansi, char32_t c, const std::unordered_map<char32_t, char>& bytes) {
  if (c < 0x80) {
    ansi += static_cast<char>(c);
    return true;
  }
  if (auto found = bytes.find(c); found != bytes.end()) {
    ansi += found->second;
    return true;
  }
  ansi += '?';
  return false;
}

std::string AnsiThrough(std::string_view host, const std::unordered_map<char32_t, char>& bytes) {
  std::string ansi;
  ansi.reserve(host.size());
  for (size_t at = 0; at < host.size();) {
    AppendAnsiOf(ansi, NextCharacter(host, at), bytes);
  }
  return ansi;
}

}  // namespace

std::string AnsiFromHost(std::string_view host) {
  return IsAscii(host) ? std::string(host) : AnsiThrough(host, MachineBytesOfCharacters());
}

std::string AnsiFromHost(std::string_view host, unsigned code_page) {
  return IsAscii(host) ? std::string(host) : AnsiThrough(host, BytesOfCharacters(code_page));
}

std::u16string Utf16FromHost(std::string_view host) {
  std::u16string wide;
  wide.reserve(host.size());
  for (size_t at = 0; at < host.size();) {
    char32_t c = NextCharacter(host, at);
    if (c < 0x10000) {
      wide += static_cast<char16_t>(c);
    } else {
      c -= 0x10000;
      wide += static_cast<char16_t>(0xD800 + (c >> 10));
      wide += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
  }
  return wide;
}

std::string AnsiFromUtf16(std::u16string_view wide, bool* lossy) {
  const std::unordered_map<char32_t, char>& bytes = MachineBytesOfCharacters();
  std::string ansi;
  ansi.reserve(wide.size());
  *lossy = false;
  for (size_t at = 0; at < wide.size(); ++at) {
    char32_t c = wide[at];
    if (c >= 0xD800 && c < 0xDC00 && at + 1 < wide.size() && wide[at + 1] >= 0xDC00 &&
        wide[at + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[++at] - 0xDC00);  // beyond the code pages
    }
    if (!AppendAnsiOf(ansi, c, bytes)) {
      *lossy = true;
    }
  }
  return ansi;
}

std::u16string Utf16FromAnsi(std::string_view ansi) {
  const char32_t* high = HighHalfOf(MachineCodePage());
  std::u16string wide;
  wide.reserve(ansi.size());
  for (char c : ansi) {
    auto byte = static_cast<unsigned char>(c);
    wide += static_cast<char16_t>(byte < 0x80 || high == nullptr ? byte : high[byte - 0x80]);
  }
  return wide;
}

std::string CaseBlindKey(std::string_view host_name) {
  std::string key;
  key.reserve(host_name.size());
  if (IsAscii(host_name)) {
    for (char c : host_name) {
      key += static_cast<char>(UpperOf(static_cast<unsigned char>(c)));
    }
    return key;
  }
  for (size_t at = 0; at < host_name.size();) {
    size_t start = at;
    char32_t c = NextCharacter(host_name, at);
    if (c == kInvalid) {
      key.append(host_name.substr(start, at - start));  // compared as the bytes it is
    } else {
      AppendUtf8(key, UpperOf(c));
    }
  }
  return key;
}

char UpperAnsi(char c) {
  static const std::array<char, 256> upper = [] {
    std::array<char, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
      table[byte] = static_cast<char>(byte);
      std::string host = HostFromAnsi(std::string(1, static_cast<char>(byte)));
      std::string up = AnsiFromHost(CaseBlindKey(host));
      if (up.size() == 1 && up[0] != '?') {
        table[byte] = up[0];
      }
    }
    return table;
  }();
  return upper[static_cast<unsigned char>(c)];
}

}  // namespace emu
