// The accessor of the installed product's registry record.
//
// Every access opens the key, reads or writes one or two values and closes it again. The key
// is never created; whether it opened is never tested: with no open key every value reads
// as absent and every write fails.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

// The text of the stored value `name` as the accessor reads it: a REG_SZ or REG_EXPAND_SZ
// value's bytes up to the first NUL, unexpanded. Raises ERegistryException ("Invalid data type
// for '<name>'") for data of any other type. (Empty data never gets this far: its size alone
// makes it "".)
std::string TextOfValue(const std::string& name, DWORD type, std::string_view data);

class RegistryRecord {
 public:
  // The predefined key that absolute paths ("\Software\...") start from.
  void SetRoot(HKEY root) { root_ = root; }

  // True when the key opens for reading. Leaves the current key as it is.
  bool RecordExists(const std::string& path);

  // Opens the key with full access and makes it current, closing the previous one. On
  // failure nothing changes and the result is false.
  bool OpenRecord(const std::string& path);

  void CloseRecord();

  // True when the current key holds the value, of whatever type.
  bool HasValue(const std::string& name);

  // The text of a REG_SZ or REG_EXPAND_SZ value up to its first NUL (unexpanded); "" when
  // the value is absent or empty. Raises ERegistryException for another type, or when the
  // value cannot be delivered.
  std::string ReadTextValue(const std::string& name);

  // Writes a REG_SZ value, or a REG_DWORD of 0 or 1. Raises ERegistryException on failure.
  void WriteTextValue(const std::string& name, const std::string& text);
  void WriteFlagValue(const std::string& name, bool flag);

  // Takes the value away; one that is not there is no failure. Raises ERegistryException when
  // it stays.
  void DeleteValue(const std::string& name);

 private:
  HKEY root_ = nullptr;
  HKEY current_key_ = nullptr;
};
