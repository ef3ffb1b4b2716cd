#include "regfile/registry_text.h"

#include <utility>

#include "regfile/code_page_tables.h"
#include "support/ascii_text.h"

namespace regfile {
namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kWideHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kWideByteOrderMark = "\xFF\xFE";
constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kLineEnd = "\r\n";
constexpr size_t kHexWrapColumn = 76;

std::string_view TrimLeft(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) {
    text.remove_prefix(1);
  }
  return text;
}

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && IsBlank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  c = FoldAscii(c);
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

// The text's physical lines, without their line ends, numbered from 1.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : rest_(text) {}

  bool Next(std::string_view& line) {
    if (rest_.empty()) {
      return false;
    }
    size_t end = rest_.find('\n');
    line = rest_.substr(0, end);
    rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    ++number_;
    return true;
  }
  int number() const { return number_; }

 private:
  std::string_view rest_;
  int number_ = 0;
};

// The byte of `character` in `code_page`, or `stand_in` when it has none.
char NarrowedCharacter(char32_t character, const Narrowing& narrowing) {
  if (character < 0x80) {
    return static_cast<char>(character);
  }
  const char32_t* high_half = HighHalfOf(narrowing.code_page);
  for (unsigned at = 0; high_half != nullptr && at < 128; ++at) {
    if (high_half[at] == character) {
      return static_cast<char>(0x80 + at);
    }
  }
  return narrowing.stand_in;
}

// UTF-16 LE text as 8-bit text in the code page; a pair of surrogates is one character.
std::string NarrowedText(std::string_view wide, const Narrowing& narrowing) {
  std::string narrow;
  narrow.reserve(wide.size() / 2);
  for (size_t at = 0; at + 1 < wide.size(); at += 2) {
    char32_t unit = static_cast<unsigned char>(wide[at]) |
                    static_cast<char32_t>(static_cast<unsigned char>(wide[at + 1])) << 8;
    if (unit >= 0xD800 && unit < 0xDC00 && at + 3 < wide.size() &&
        (static_cast<unsigned char>(wide[at + 3]) & 0xFC) == 0xDC) {
      at += 2;
      unit = 0x10000;  // beyond every code page
    }
    narrow += NarrowedCharacter(unit, narrowing);
  }
  return narrow;
}

bool Fault(ParseError& error, int line, std::string message) {
  error.line = line;
  error.message = std::move(message);
  return false;
}

// Reads a quoted string at the start of `text` (which starts with '"'), with \\ and \" as the
// only escapes, and moves `text` past it.
bool ReadQuoted(std::string_view& text, std::string& out, int line, ParseError& error) {
  out.clear();
  for (size_t at = 1; at < text.size(); ++at) {
    char c = text[at];
    if (c == '"') {
      text.remove_prefix(at + 1);
      return true;
    }
    if (c == '\\') {
      if (at + 1 >= text.size() || (text[at + 1] != '\\' && text[at + 1] != '"')) {
        return Fault(error, line, "bad escape in quoted string (only \\\\ and \\\" are known)");
      }
      c = text[++at];
    }
    out += c;
  }
  return Fault(error, line, "unterminated quoted string");
}

// Adds the bytes of one line of a hex list ("01,ff,2a," with blanks allowed) to `out`.
bool ReadHexLine(std::string_view text, std::string& out, int line, ParseError& error) {
  size_t at = 0;
  auto skip_blanks = [&] {
    while (at < text.size() && IsBlank(text[at])) {
      ++at;
    }
  };
  for (;;) {
    skip_blanks();
    if (at == text.size()) {
      return true;
    }
    int value = 0;
    size_t digits = 0;
    while (at < text.size() && digits < 2 && HexDigit(text[at]) >= 0) {
      value = value * 16 + HexDigit(text[at++]);
      ++digits;
    }
    if (digits == 0) {
      return Fault(error, line, "bad hex byte '" + std::string(text.substr(at, 8)) + "'");
    }
    out += static_cast<char>(value);
    skip_blanks();
    if (at == text.size()) {
      return true;
    }
    if (text[at] != ',') {
      return Fault(error, line, "expected ',' between hex bytes");
    }
    ++at;
  }
}

// Reads a hex list that starts on `first` and continues over lines that end in '\'.
bool ReadHexList(std::string_view first, LineReader& lines, std::string& out, ParseError& error) {
  std::string_view segment = TrimRight(first);
  int line = lines.number();
  for (;;) {
    bool continues = !segment.empty() && segment.back() == '\\';
    if (continues) {
      segment.remove_suffix(1);
    }
    if (!ReadHexLine(segment, out, line, error)) {
      return false;
    }
    if (!continues) {
      return true;
    }
    std::string_view next;
    if (!lines.Next(next)) {
      return Fault(error, line, "hex list continued past the end of the file");
    }
    line = lines.number();
    segment = TrimRight(next);
  }
}

// Reads the type number of "hex(N):" from `text`, which starts after "hex(".
bool ReadHexType(std::string_view& text, DWORD& type, int line, ParseError& error) {
  size_t close = text.find("):");
  if (close == 0 || close == std::string_view::npos || close > 8) {
    return Fault(error, line, "bad value type in hex(...)");
  }
  type = 0;
  for (char c : text.substr(0, close)) {
    int digit = HexDigit(c);
    if (digit < 0) {
      return Fault(error, line, "bad value type in hex(...)");
    }
    type = type * 16 + static_cast<DWORD>(digit);
  }
  text.remove_prefix(close + 2);
  return true;
}

bool ReadData(std::string_view data, LineReader& lines, Value& value, ParseError& error) {
  int line = lines.number();
  if (data.starts_with('"')) {
    if (!ReadQuoted(data, value.data, line, error)) {
      return false;
    }
    if (!TrimLeft(data).empty()) {
      return Fault(error, line, "unexpected text after the quoted string");
    }
    value.type = REG_SZ;
    value.data += '\0';
    return true;
  }
  if (data.starts_with('-')) {
    return Fault(error, line, "value deletions are not accepted here");
  }
  if (data.starts_with("dword:")) {
    std::string_view digits = TrimRight(data.substr(6));
    if (digits.empty() || digits.size() > 8) {
      return Fault(error, line, "dword: needs 1 to 8 hex digits");
    }
    DWORD number = 0;
    for (char c : digits) {
      if (HexDigit(c) < 0) {
        return Fault(error, line, "bad hex digit in dword:");
      }
      number = number * 16 + static_cast<DWORD>(HexDigit(c));
    }
    value.type = REG_DWORD;
    value.data.clear();
    for (int shift = 0; shift < 32; shift += 8) {
      value.data += static_cast<char>((number >> shift) & 0xFF);
    }
    return true;
  }
  if (data.starts_with("hex:")) {
    value.type = REG_BINARY;
    data.remove_prefix(4);
  } else if (data.starts_with("hex(")) {
    data.remove_prefix(4);
    if (!ReadHexType(data, value.type, line, error)) {
      return false;
    }
  } else {
    return Fault(error, line, "unknown value data (expected \"text\", dword: or hex:)");
  }
  value.data.clear();
  return ReadHexList(data, lines, value.data, error);
}

// A value of a text type written as hex in a wide export holds UTF-16 LE: narrowed as the
// rest of the text.
void NarrowWideText(Value& value, const Narrowing& narrowing) {
  if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ) {
    std::string wide = std::move(value.data);
    if (wide.size() % 2 != 0) {
      wide.pop_back();
    }
    value.data = NarrowedText(wide, narrowing);
  }
}

bool ReadValueLine(std::string_view text, LineReader& lines, const Narrowing* wide, Key* key,
                   ParseError& error) {
  int line = lines.number();
  if (key == nullptr) {
    return Fault(error, line, "value before any [key] line");
  }
  Value value;
  if (text.starts_with('@')) {
    text.remove_prefix(1);
  } else if (!ReadQuoted(text, value.name, line, error)) {
    return false;
  }
  text = TrimLeft(text);
  if (!text.starts_with('=')) {
    return Fault(error, line, "expected '=' after the value name");
  }
  text = TrimLeft(text.substr(1));
  bool hex = !text.starts_with('"');
  if (!ReadData(text, lines, value, error)) {
    return false;
  }
  if (wide != nullptr && hex) {
    NarrowWideText(value, *wide);
  }
  key->SetValue(value.name, value.type, std::move(value.data));
  return true;
}

bool ReadKeyLine(std::string_view text, Hive& hive, Key*& key, int line, ParseError& error) {
  if (text.starts_with("[-")) {
    return Fault(error, line, "key deletions are not accepted here");
  }
  size_t close = text.rfind(']');
  if (close == std::string_view::npos) {
    return Fault(error, line, "missing ']' at the end of the key");
  }
  if (!TrimRight(text.substr(close + 1)).empty()) {
    return Fault(error, line, "unexpected text after ']'");
  }
  std::string_view full = text.substr(1, close - 1);
  std::string_view root = full.substr(0, full.find('\\'));
  if (!SameIgnoringAsciiCase(root, kRootName)) {
    return Fault(error, line, "key outside " + std::string(kRootName));
  }
  std::string_view path = full.substr(root.size());
  if (!path.empty()) {
    path.remove_prefix(1);
    if (path.empty() || path.front() == '\\' || path.back() == '\\' ||
        path.find("\\\\") != std::string_view::npos) {
      return Fault(error, line, "empty key name in the path");
    }
  }
  key = &hive.FindOrAdd(path);
  return true;
}

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
    }
    out += c;
  }
  out += '"';
}

// A REG_SZ that reads back the same from a quoted string: one final NUL, no control bytes.
bool FitsQuoted(const Value& value) {
  const std::string& data = value.data;
  if (data.empty() || data.back() != '\0') {
    return false;
  }
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    auto byte = static_cast<unsigned char>(data[i]);
    if (byte < 0x20 || byte == 0x7F) {
      return false;
    }
  }
  return true;
}

void AppendHexList(std::string& out, size_t column, std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < bytes.size(); ++i) {
    auto byte = static_cast<unsigned char>(bytes[i]);
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0F];
    if (i + 1 < bytes.size()) {
      out += ',';
      column += 3;
      if (column > kHexWrapColumn) {
        out += '\\';
        out += kLineEnd;
        out += "  ";
        column = 2;
      }
    }
  }
}

std::string HexTypeName(DWORD type) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string digits;
  do {
    digits.insert(digits.begin(), kDigits[type & 0x0F]);
    type >>= 4;
  } while (type != 0);
  return digits;
}

void AppendValue(std::string& out, const Value& value) {
  size_t line_start = out.size();
  if (value.name.empty()) {
    out += '@';
  } else {
    AppendQuoted(out, value.name);
  }
  out += '=';
  if (value.type == REG_SZ && FitsQuoted(value)) {
    AppendQuoted(out, std::string_view(value.data).substr(0, value.data.size() - 1));
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    DWORD number = 0;
    for (int i = 3; i >= 0; --i) {
      number = (number << 8) | static_cast<unsigned char>(value.data[static_cast<size_t>(i)]);
    }
    std::string digits = HexTypeName(number);
    out += "dword:" + std::string(8 - digits.size(), '0') + digits;
  } else {
    out += value.type == REG_BINARY ? "hex:" : "hex(" + HexTypeName(value.type) + "):";
    AppendHexList(out, out.size() - line_start, value.data);
  }
  out += kLineEnd;
}

bool ParseText(std::string_view text, std::string_view header, const Narrowing* wide, Hive& hive,
               ParseError& error) {
  hive = Hive();
  LineReader lines(text);
  std::string_view line;
  if (!lines.Next(line)) {
    return true;
  }
  if (TrimRight(line) != header) {
    return Fault(error, 1, "expected the header " + std::string(header));
  }
  Key* key = nullptr;
  while (lines.Next(line)) {
    std::string_view content = TrimRight(TrimLeft(line));
    if (content.empty() || content.front() == ';') {
      continue;
    }
    bool read = false;
    if (content.front() == '[') {
      read = ReadKeyLine(content, hive, key, lines.number(), error);
    } else if (content.front() == '"' || content.front() == '@') {
      read = ReadValueLine(content, lines, wide, key, error);
    } else {
      read = Fault(error, lines.number(), "expected a [key], a value or a comment");
    }
    if (!read) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string FoldCase(std::string_view path) {
  std::string folded(path);
  for (char& c : folded) {
    c = FoldAscii(c);
  }
  return folded;
}

const Value* Key::FindValue(std::string_view name) const {
  for (const Value& value : values) {
    if (SameIgnoringAsciiCase(value.name, name)) {
      return &value;
    }
  }
  return nullptr;
}

void Key::SetValue(std::string_view name, DWORD type, std::string data) {
  for (Value& value : values) {
    if (SameIgnoringAsciiCase(value.name, name)) {
      value.type = type;
      value.data = std::move(data);
      return;
    }
  }
  values.push_back(Value{std::string(name), type, std::move(data)});
}

bool Key::RemoveValue(std::string_view name) {
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (SameIgnoringAsciiCase(it->name, name)) {
      values.erase(it);
      return true;
    }
  }
  return false;
}

const Key* Hive::Find(std::string_view path) const {
  auto found = index_.find(FoldCase(path));
  return found == index_.end() ? nullptr : &keys_[found->second];
}

Key* Hive::Find(std::string_view path) {
  auto found = index_.find(FoldCase(path));
  return found == index_.end() ? nullptr : &keys_[found->second];
}

Key& Hive::FindOrAdd(std::string_view path) {
  std::string folded = FoldCase(path);
  if (auto found = index_.find(folded); found != index_.end()) {
    return keys_[found->second];
  }
  // Parents first, so that the text lists a key after the keys that hold it.
  for (size_t at = path.find('\\'); at != std::string_view::npos; at = path.find('\\', at + 1)) {
    std::string parent = folded.substr(0, at);
    if (index_.find(parent) == index_.end()) {
      index_.emplace(std::move(parent), keys_.size());
      keys_.push_back(Key{std::string(path.substr(0, at)), {}});
    }
  }
  index_.emplace(std::move(folded), keys_.size());
  keys_.push_back(Key{std::string(path), {}});
  return keys_.back();
}

bool ParseHive(std::string_view text, Hive& hive, ParseError& error) {
  return ParseText(text, kHeader, nullptr, hive, error);
}

bool ParseExport(std::string_view bytes, Hive& hive, ParseError& error,
                 const Narrowing& narrowing) {
  if (!bytes.starts_with(kWideByteOrderMark)) {
    return ParseHive(bytes, hive, error);
  }
  bytes.remove_prefix(kWideByteOrderMark.size());
  if (bytes.size() % 2 != 0) {
    hive = Hive();
    return Fault(error, 1, "UTF-16 text of an odd number of bytes");
  }
  return ParseText(NarrowedText(bytes, narrowing), kWideHeader, &narrowing, hive, error);
}

std::string WriteHive(const Hive& hive) {
  std::string out(kHeader);
  out += kLineEnd;
  for (const Key& key : hive.keys()) {
    out += kLineEnd;
    out += '[';
    out += kRootName;
    if (!key.path.empty()) {
      out += '\\';
      out += key.path;
    }
    out += ']';
    out += kLineEnd;
    for (const Value& value : key.values) {
      AppendValue(out, value);
    }
  }
  out += kLineEnd;
  return out;
}

}  // namespace regfile
