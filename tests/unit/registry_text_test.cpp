// The registry's text form: what the writer makes of each type, what the reader accepts of
// the editor's files, and where it stops on a fault.
#include "regfile/registry_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using regfile::Hive;
using regfile::Key;
using regfile::ParseError;
using regfile::ParseExport;
using regfile::ParseHive;
using regfile::Value;
using regfile::WriteHive;

std::string Bytes(const char* text, size_t size) {
  return std::string(text, size);
}

Hive ParseOrFail(const std::string& text) {
  Hive hive;
  ParseError error;
  EXPECT_TRUE(ParseHive(text, hive, error)) << "line " << error.line << ": " << error.message;
  return hive;
}

ParseError ParseFault(const std::string& text) {
  Hive hive;
  ParseError error;
  EXPECT_FALSE(ParseHive(text, hive, error)) << text;
  return error;
}

// The lines of the written text for the one value `value` under Software\Test.
std::string WrittenValue(const Value& value) {
  Hive hive;
  hive.FindOrAdd("Software\\Test").SetValue(value.name, value.type, value.data);
  std::string text = WriteHive(hive);
  std::string key_line = "[HKEY_LOCAL_MACHINE\\Software\\Test]\r\n";
  size_t start = text.find(key_line) + key_line.size();
  return text.substr(start, text.size() - start - 2);
}

TEST(RegistryTextWrite, EachTypeTakesTheEditorsForm) {
  EXPECT_EQ(WrittenValue({"Plain", REG_SZ, Bytes("C:\\Quest\0", 9)}),
            "\"Plain\"=\"C:\\\\Quest\"\r\n");
  EXPECT_EQ(WrittenValue({"Say \"hi\"", REG_SZ, Bytes("a\"b\0", 4)}),
            "\"Say \\\"hi\\\"\"=\"a\\\"b\"\r\n");
  EXPECT_EQ(WrittenValue({"", REG_SZ, Bytes("d\0", 2)}), "@=\"d\"\r\n");
  EXPECT_EQ(WrittenValue({"Inner", REG_SZ, Bytes("a\0b\0", 4)}),
            "\"Inner\"=hex(1):61,00,62,00\r\n");
  EXPECT_EQ(WrittenValue({"Cr", REG_SZ, Bytes("a\r\0", 3)}), "\"Cr\"=hex(1):61,0d,00\r\n");
  EXPECT_EQ(WrittenValue({"NoNul", REG_SZ, "ab"}), "\"NoNul\"=hex(1):61,62\r\n");
  EXPECT_EQ(WrittenValue({"Empty", REG_SZ, ""}), "\"Empty\"=hex(1):\r\n");
  EXPECT_EQ(WrittenValue({"N", REG_DWORD, Bytes("\x0a\0\0\0", 4)}), "\"N\"=dword:0000000a\r\n");
  EXPECT_EQ(WrittenValue({"N", REG_DWORD, Bytes("\x78\x56\x34\x12", 4)}),
            "\"N\"=dword:12345678\r\n");
  EXPECT_EQ(WrittenValue({"Short", REG_DWORD, "\x01\x02"}), "\"Short\"=hex(4):01,02\r\n");
  EXPECT_EQ(WrittenValue({"E", REG_EXPAND_SZ, Bytes("%A%\0", 4)}), "\"E\"=hex(2):25,41,25,00\r\n");
  EXPECT_EQ(WrittenValue({"B", REG_BINARY, "\xff\x10"}), "\"B\"=hex:ff,10\r\n");
  EXPECT_EQ(WrittenValue({"M", REG_MULTI_SZ, Bytes("a\0\0", 3)}), "\"M\"=hex(7):61,00,00\r\n");
  EXPECT_EQ(WrittenValue({"T", 0x20, "\x01"}), "\"T\"=hex(20):01\r\n");
}

TEST(RegistryTextWrite, LongHexListsWrapWithIndentedContinuations) {
  std::string data(100, '\x5a');
  std::string text = WrittenValue({"Long", REG_BINARY, data});
  size_t line_start = 0;
  int lines = 0;
  for (size_t end = text.find("\r\n"); end != std::string::npos;
       end = text.find("\r\n", line_start)) {
    std::string line = text.substr(line_start, end - line_start);
    EXPECT_LE(line.size(), 80u) << line;
    if (lines > 0) {
      EXPECT_EQ(line.substr(0, 2), "  ");
    }
    if (end + 2 < text.size()) {
      EXPECT_EQ(line.back(), '\\');
    }
    ++lines;
    line_start = end + 2;
  }
  EXPECT_GE(lines, 4);
  Hive hive = ParseOrFail("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Test]\r\n" + text);
  EXPECT_EQ(hive.Find("Software\\Test")->FindValue("Long")->data, data);
}

TEST(RegistryTextRoundTrip, EveryTypeReadsBackAsWritten) {
  Hive hive;
  Key& key = hive.FindOrAdd("Software\\Quest\\Setup");
  const Value values[] = {
      {"Plain", REG_SZ, Bytes("text\0", 5)},
      {"Escapes", REG_SZ, Bytes("\\\"q\"\\\0", 6)},
      {"InnerNul", REG_SZ, Bytes("a\0b\0", 4)},
      {"Cr", REG_SZ, Bytes("a\rb\0", 4)},
      {"High", REG_SZ, Bytes("\xe9t\xe9\0", 4)},
      {"Expand", REG_EXPAND_SZ, Bytes("%WINDIR%\\x\0", 11)},
      {"Binary", REG_BINARY, Bytes("\0\x01\xff", 3)},
      {"Dword", REG_DWORD, Bytes("\xff\0\0\x80", 4)},
      {"Multi", REG_MULTI_SZ, Bytes("one\0two\0\0", 9)},
      {"Odd", 0x20, std::string(200, '\x7f')},
      {"", REG_SZ, Bytes("default\0", 8)},
  };
  for (const Value& value : values) {
    key.SetValue(value.name, value.type, value.data);
  }
  std::string text = WriteHive(hive);
  Hive back = ParseOrFail(text);
  const Key* read = back.Find("Software\\Quest\\Setup");
  ASSERT_NE(read, nullptr);
  ASSERT_EQ(read->values.size(), std::size(values));
  for (size_t i = 0; i < std::size(values); ++i) {
    EXPECT_EQ(read->values[i].name, values[i].name);
    EXPECT_EQ(read->values[i].type, values[i].type) << values[i].name;
    EXPECT_EQ(read->values[i].data, values[i].data) << values[i].name;
  }
  EXPECT_EQ(WriteHive(back), text);
}

TEST(RegistryTextNames, MatchWithoutCaseAndKeepTheirCreationCase) {
  Hive hive = ParseOrFail(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\QuestGame]\n\"InstallPath\"=\"a\"\n"
      "\n[hkey_local_machine\\SOFTWARE\\questgame]\n\"INSTALLPATH\"=\"b\"\n");
  const Key* key = hive.Find("software\\QUESTGAME");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->path, "Software\\QuestGame");
  ASSERT_EQ(key->values.size(), 1u);
  EXPECT_EQ(key->values[0].name, "InstallPath");
  EXPECT_EQ(key->FindValue("installpath")->data, Bytes("b\0", 2));
  // A key's parents are keys too, listed before it.
  ASSERT_EQ(hive.keys().size(), 2u);
  EXPECT_EQ(hive.keys()[0].path, "Software");
  EXPECT_EQ(hive.Find("SOFTWARE"), &hive.keys()[0]);
  EXPECT_EQ(hive.Find("Software\\Quest"), nullptr);
}

TEST(RegistryTextRead, AcceptsWhatTheEditorWrites) {
  Hive hive = ParseOrFail(
      "REGEDIT4\r\n"
      "; exported for the test\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\B]\r\n"
      "\"Long\"=hex:01,02,\\\r\n"
      "  03,04,\\\r\n"
      "  05\r\n"
      "   ; indented comment\r\n"
      "\"Dw\"=dword:2a\r\n"
      "\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\A]   \r\n"
      "@=\"root\"\r\n");
  ASSERT_NE(hive.Find("Software\\B"), nullptr);
  EXPECT_EQ(hive.Find("Software\\B")->FindValue("Long")->data, "\x01\x02\x03\x04\x05");
  EXPECT_EQ(hive.Find("Software\\B")->FindValue("Dw")->data, Bytes("\x2a\0\0\0", 4));
  EXPECT_EQ(hive.Find("Software\\A")->FindValue("")->data, Bytes("root\0", 5));
  Hive empty;
  ParseError error;
  EXPECT_TRUE(ParseHive("", empty, error));
  EXPECT_TRUE(empty.keys().empty());
  EXPECT_EQ(WriteHive(empty), regfile::kEmptyHiveText);
}

TEST(RegistryTextRead, FaultsNameTheirLine) {
  const std::string head = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\K]\n";
  struct Case {
    std::string text;
    int line;
  };
  const Case cases[] = {
      {head + "\"Name\"=\"open\n", 4},
      {head + "\"Open=\"x\"\n", 4},
      {head + "\"A\"=\"ok\"\n\"B\"=hex:01,zz\n", 5},
      {head + "\"B\"=hex:01,\\\n  02,0g\n", 5},
      {head + "\"B\"=hex:01,\\\n", 4},
      {head + "\"B\"=hex:0102\n", 4},
      {head + "\"B\"=hex(xyz):01\n", 4},
      {head + "\"D\"=dword:123456789\n", 4},
      {head + "\"S\"=\"bad \\n escape\"\n", 4},
      {head + "\"S\"=other\n", 4},
      {head + "[HKEY_LOCAL_MACHINE\\Software\\Unclosed\n", 4},
      {head + "[HKEY_CURRENT_USER\\Software]\n", 4},
      {head + "[HKEY_LOCAL_MACHINE\\Software\\\\Double]\n", 4},
      {"REGEDIT4\n\n\"Early\"=\"value\"\n", 3},
      {"Windows Registry Editor Version 5.00\n", 1},
      {head + "[-HKEY_LOCAL_MACHINE\\Software\\K]\n", 4},
      {head + "\"Gone\"=-\n", 4},
      {head + "junk\n", 4},
  };
  for (const Case& c : cases) {
    ParseError error = ParseFault(c.text);
    EXPECT_EQ(error.line, c.line) << c.text << error.message;
    EXPECT_FALSE(error.message.empty());
  }
}

// UTF-16 LE as Windows writes an export today: each character, then a zero byte (ASCII and
// Latin-1 only here), after the byte-order mark.
std::string Utf16Export(const std::string& text) {
  std::string wide = "\xFF\xFE";
  for (char c : text) {
    wide += c;
    wide += '\0';
  }
  return wide;
}

TEST(RegistryTextExport, ReadsTheWideFormatNarrowed) {
  Hive hive;
  ParseError error;
  // "Pallum" with a character beyond 255 (U+0100) in a hex(2) value, and a Latin-1 e-acute.
  std::string text = Utf16Export(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Key]\r\n"
      "\"ProductVersion\"=\"Caf\xE9 2.2\"\r\n"
      "\"Expand\"=hex(2):25,00,00,01,25,00,00,00\r\n"
      "\"Flag\"=dword:00000001\r\n"
      "\"Bytes\"=hex:01,00\r\n\r\n");
  ASSERT_TRUE(ParseExport(text, hive, error)) << error.line << ": " << error.message;
  const Key* key = hive.Find("Software\\Wow6432Node\\Key");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->FindValue("ProductVersion")->data, Bytes("Caf\xE9 2.2\0", 9));
  EXPECT_EQ(key->FindValue("Expand")->type, REG_EXPAND_SZ);
  EXPECT_EQ(key->FindValue("Expand")->data, Bytes("%?%\0", 4));
  EXPECT_EQ(key->FindValue("Flag")->data, Bytes("\1\0\0\0", 4));
  EXPECT_EQ(key->FindValue("Bytes")->data, Bytes("\1\0", 2));  // binary stays as it is

  // Through code page 1251 Cyrillic has bytes, and U+00E9 none; a stand-in marks what is lost.
  std::string cyrillic = Utf16Export(
                             "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\Software\\Key]\r\n\"V\"=\"") +
                         std::string("\x1F\x04\xE9\x00", 4) + Utf16Export("\"\r\n").substr(2);
  ASSERT_TRUE(ParseExport(cyrillic, hive, error, {1251, '\x7F'}));
  EXPECT_EQ(hive.Find("Software\\Key")->FindValue("V")->data, Bytes("\xCF\x7F\0", 3));
  Hive western;
  ASSERT_TRUE(ParseExport(cyrillic, western, error));
  EXPECT_EQ(western.Find("Software\\Key")->FindValue("V")->data, Bytes("?\xE9\0", 3));

  // A wide file under the old header, a narrow one under the new, and a cut character.
  EXPECT_FALSE(ParseExport(Utf16Export("REGEDIT4\r\n"), hive, error));
  EXPECT_EQ(error.line, 1);
  EXPECT_FALSE(
      ParseExport(Utf16Export("Windows Registry Editor Version 5.00\r\n") + "x", hive, error));
  Hive narrow;
  EXPECT_TRUE(
      ParseExport("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Key]\r\n", narrow, error));
  EXPECT_NE(narrow.Find("Software\\Key"), nullptr);
}

}  // namespace
