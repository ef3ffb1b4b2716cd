// The registry as text: the REGEDIT4 format that the registry editor exports and imports,
// holding the keys of HKEY_LOCAL_MACHINE. Reading gives a model with the line of any fault;
// writing gives the text back. The emulated machine keeps its registry in this form, and the
// package check reads a user's export of the product's record with it, in both builds.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"

namespace regfile {

struct Value {
  std::string name;  // "" is the key's default value
  DWORD type = REG_NONE;
  std::string data;  // the bytes as stored
};

struct Key {
  std::string path;  // below HKEY_LOCAL_MACHINE, '\'-separated, "" for the root itself
  std::vector<Value> values;

  // The value called `name` (ASCII case ignored), or nullptr.
  const Value* FindValue(std::string_view name) const;
  // Replaces the data of the value called `name`, keeping its case, or adds it at the end.
  void SetValue(std::string_view name, DWORD type, std::string data);
  // Takes the value called `name` away; false when there is none.
  bool RemoveValue(std::string_view name);
};

// Keys in the order they were created; a key's parents exist as keys of their own, as they
// do in the registry.
class Hive {
 public:
  // The key at `path` (ASCII case ignored), or nullptr.
  const Key* Find(std::string_view path) const;
  Key* Find(std::string_view path);
  // The key at `path`, created with its missing parents when absent.
  Key& FindOrAdd(std::string_view path);
  const std::vector<Key>& keys() const { return keys_; }

 private:
  std::vector<Key> keys_;
  std::unordered_map<std::string, size_t> index_;  // lower-case path -> position in keys_
};

struct ParseError {
  int line = 0;  // 1-based
  std::string message;
};

// `path` in ASCII lower case, the form in which names are compared.
std::string FoldCase(std::string_view path);

// Reads REGEDIT4 text (LF or CRLF line ends, comments, continued hex lists). Key deletions
// ("[-...]") and value deletions ("name"=-) are refused as faults: the store never holds them.
// Returns false and fills `error` when the text cannot be read; an empty text is an empty hive.
bool ParseHive(std::string_view text, Hive& hive, ParseError& error);

// How a wide export becomes 8-bit text: through the ANSI code page of the machine it stands
// for (1250, 1251 or 1252), a character the code page lacks becoming `stand_in`.
struct Narrowing {
  unsigned code_page = 1252;
  char stand_in = '?';
};

// Reads a registry export as the registry editor writes it: REGEDIT4 text as ParseHive
// reads it, or "Windows Registry Editor Version 5.00" in UTF-16 LE after its byte-order mark.
// The wide text is narrowed as an ANSI program reads the registry, through `narrowing`; the
// data of hex(1), hex(2) and hex(7) values, wide in such a file, are narrowed the same way.
bool ParseExport(std::string_view bytes, Hive& hive, ParseError& error,
                 const Narrowing& narrowing = {});

// The hive as REGEDIT4 text with CRLF line ends. Text values that a quoted string cannot
// carry are written as hex(1).
std::string WriteHive(const Hive& hive);

// The text of a hive without keys, as a new machine starts with.
inline constexpr std::string_view kEmptyHiveText = "REGEDIT4\r\n\r\n";

}  // namespace regfile
