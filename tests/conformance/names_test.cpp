// How the ANSI file functions treat names: letter case, trailing dots and blanks, the code
// page, the path limits, and the names Windows cannot hold. Both builds run with code page
// 1252 (Wine's for the C.UTF-8 locale the runner gives it, the emulation's default).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "test_machine.h"

namespace {

using test_machine::NewScratchFolder;
using test_machine::ReadWholeFile;
using test_machine::WriteWholeFile;

// Wine takes one character more than Windows' documentation in a few places; those rows say
// what Windows does, which the emulation follows, and Wine's own result.
constexpr bool kUnderWine = CONFORMANCE_UNDER_WINE;

DWORD Attributes(const std::string& path, DWORD* error) {
  SetLastError(0);
  DWORD attributes = GetFileAttributesA(path.c_str());
  *error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0;
  return attributes;
}

// The error of a CreateFileA with `disposition`, 0 when it opened.
DWORD OpenError(const std::string& path, DWORD disposition) {
  SetLastError(0);
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  CloseHandle(handle);
  return 0;
}

DWORD FolderError(const std::string& path) {
  SetLastError(0);
  return CreateDirectoryA(path.c_str(), nullptr) ? 0 : GetLastError();
}

// The names in `folder` (ending in '\'), without "." and "..".
std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA((folder + "*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    return names;
  }
  do {
    std::string name = data.cFileName;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  } while (FindNextFileA(search, &data));
  FindClose(search);
  return names;
}

TEST(Names, LookupsIgnoreLetterCaseAndCreationKeepsIt) {
  const std::string folder = NewScratchFolder();
  // "Été.TXT" and "ÿ" in code page 1252: letters beyond ASCII fold too (ÿ and Ÿ are 0xFF and
  // 0x9F there).
  ASSERT_TRUE(WriteWholeFile(folder + "Mixed.TXT", "mixed"));
  ASSERT_TRUE(WriteWholeFile(folder + "\xc9t\xe9.TXT", "accents"));
  ASSERT_TRUE(WriteWholeFile(folder + "\xff.txt", "y"));
  ASSERT_TRUE(CreateDirectoryA((folder + "Sub").c_str(), nullptr));
  struct Row {
    const char* path;
    const char* content;
  };
  for (const Row& row :
       {Row{"mixed.txt", "mixed"}, Row{"MIXED.txt", "mixed"}, Row{"\xe9T\xc9.txt", "accents"},
        Row{"\xc9T\xc9.tXt", "accents"}, Row{"\x9f.TXT", "y"}}) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(ReadWholeFile(folder + row.path), row.content);
    DWORD error = 0;
    EXPECT_EQ(Attributes(folder + row.path, &error) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(OpenError(folder + row.path, CREATE_NEW), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_TRUE(CopyFileA((folder + row.path).c_str(), (folder + "SUB\\copy").c_str(), FALSE));
  }
  EXPECT_EQ(FolderError(folder + "sUB"), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(ReadWholeFile(folder + "sub\\COPY"), "y");
  // Writing over a name in another case keeps the name it has.
  EXPECT_EQ(OpenError(folder + "MIXED.TXT", CREATE_ALWAYS), 0u);
  EXPECT_TRUE(DeleteFileA((folder + "\xe9t\xe9.txt").c_str()));
  std::vector<std::string> names = Names(folder);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Mixed.TXT", "Sub", "\xff.txt"}));
  EXPECT_EQ(Names(folder + "sub\\"), (std::vector<std::string>{"copy"}));
}

TEST(Names, TrailingDotsAndBlanksGoAsWindowsNormalizesPaths) {
  const std::string folder = NewScratchFolder();
  ASSERT_TRUE(CreateDirectoryA((folder + "dir").c_str(), nullptr));
  struct Row {
    const char* made;    // the file made under this name
    const char* listed;  // the name it gets ("" when it is not made)
    DWORD error;         // of the creation
  };
  for (const Row& row : {
           Row{"one.txt.", "one.txt", 0},
           Row{"two.txt ", "two.txt", 0},
           Row{"three . .", "three", 0},
           Row{"four...", "four", 0},
           // A folder's name loses one final dot; two stay, and name another folder.
           Row{"dir.\\five", "dir\\five", 0},
           Row{"dir..\\six", "", ERROR_PATH_NOT_FOUND},
       }) {
    SCOPED_TRACE(row.made);
    EXPECT_EQ(OpenError(folder + row.made, CREATE_NEW), row.error);
    if (row.error == 0) {
      EXPECT_EQ(ReadWholeFile(folder + row.listed), "");
    }
  }
  // A trailing separator keeps a blank before it: a folder "blank " is made.
  EXPECT_EQ(FolderError(folder + "blank \\"), 0u);
  std::vector<std::string> names = Names(folder);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names,
            (std::vector<std::string>{"blank ", "dir", "four", "one.txt", "three", "two.txt"}));
  EXPECT_EQ(Names(folder + "DIR.\\"), (std::vector<std::string>{"five"}));
}

TEST(Names, NamesGoThroughTheCodePage) {
  const std::string folder = NewScratchFolder();
  // Every byte of the code page's upper half that stands for a character names a file that
  // lists and opens under the same bytes.
  const std::string name = "\x80\x8a\xa3\xb5\xc0\xd0\xdf\xe0\xf6\xfe.txt";
  ASSERT_TRUE(WriteWholeFile(folder + name, "high"));
  EXPECT_EQ(Names(folder), (std::vector<std::string>{name}));
  EXPECT_EQ(ReadWholeFile(folder + name), "high");
  // '?', which FindFirstFileA gives for a character the code page lacks, names no file.
  EXPECT_EQ(OpenError(folder + "\x80?\xa3.txt", OPEN_EXISTING),
            static_cast<DWORD>(ERROR_INVALID_NAME));
}

TEST(Names, PathLimitsAreWindowsAnsiLimits) {
  const std::string folder = NewScratchFolder();
  // A path of `length` characters under the scratch folder.
  auto path_of = [&](size_t length, char fill) {
    return folder + std::string(length - folder.size(), fill);
  };
  struct Row {
    const char* call;
    size_t length;
    DWORD windows;  // the error Windows documents, which the emulation gives
    DWORD wine;     // Wine's
  };
  for (const Row& row : {
           Row{"CreateFileA", 259, 0, 0},
           // Windows converts an ANSI path into MAX_PATH characters with its NUL; Wine takes
           // one character more.
           Row{"CreateFileA", 260, ERROR_FILENAME_EXCED_RANGE, 0},
           Row{"CreateFileA", 261, ERROR_FILENAME_EXCED_RANGE, ERROR_FILENAME_EXCED_RANGE},
           Row{"GetFileAttributesA", 261, ERROR_FILENAME_EXCED_RANGE, ERROR_FILENAME_EXCED_RANGE},
           Row{"CreateDirectoryA", 247, 0, 0},
           // CreateDirectoryA keeps room for an 8.3 name below MAX_PATH; Wine does not.
           Row{"CreateDirectoryA", 248, ERROR_FILENAME_EXCED_RANGE, 0},
           Row{"CreateDirectoryA", 261, ERROR_FILENAME_EXCED_RANGE, ERROR_FILENAME_EXCED_RANGE},
       }) {
    SCOPED_TRACE(std::string(row.call) + " " + std::to_string(row.length));
    std::string call = row.call;
    std::string path = path_of(row.length, call == "CreateDirectoryA" ? 'd' : 'f');
    ASSERT_EQ(path.size(), row.length);
    DWORD error = 0;
    if (call == "CreateFileA") {
      error = OpenError(path, CREATE_ALWAYS);
    } else if (call == "CreateDirectoryA") {
      error = FolderError(path);
    } else {
      Attributes(path, &error);
    }
    EXPECT_EQ(error, kUnderWine ? row.wine : row.windows);
  }
}

TEST(Names, NamesWindowsCannotHoldAreRefused) {
  const std::string folder = NewScratchFolder();
  ASSERT_TRUE(WriteWholeFile(folder + "kept.txt", "kept"));
  struct Row {
    std::string name;
    DWORD error;  // of every call given the name; 0: only checked that no file is made
  };
  std::vector<Row> rows = {{"a<b", ERROR_INVALID_NAME},
                           {"a>b", ERROR_INVALID_NAME},
                           {"a\"b", ERROR_INVALID_NAME},
                           {"a|b", ERROR_INVALID_NAME},
                           {"a?b", ERROR_INVALID_NAME},
                           {"a*b", ERROR_INVALID_NAME},
                           {"a\x01"
                            "b",
                            ERROR_INVALID_NAME},
                           {"a\x1f"
                            "b",
                            ERROR_INVALID_NAME},
                           {"x<y\\z", ERROR_INVALID_NAME}};
  // Devices, which name no file in any folder (Wine opens the device; the emulation, which
  // has none, refuses with 2).
  for (const char* device : {"nul.txt", "CON", "aux.inf", "Prn", "com1.txt", "LPT9", "nul .txt"}) {
    rows.push_back({device, 0});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string path = folder + row.name;
    DWORD attribute_error = 0;
    Attributes(path, &attribute_error);
    DWORD copy_error =
        CopyFileA((folder + "kept.txt").c_str(), path.c_str(), FALSE) ? 0 : GetLastError();
    if (row.error != 0) {
      EXPECT_EQ(OpenError(path, CREATE_NEW), row.error);
      EXPECT_EQ(attribute_error, row.error);
      EXPECT_EQ(FolderError(path), row.error);
      EXPECT_EQ(copy_error, row.error);
      EXPECT_FALSE(DeleteFileA(path.c_str()));
      EXPECT_EQ(GetLastError(), row.error);
    } else {
      OpenError(path, CREATE_NEW);
    }
  }
  EXPECT_EQ(Names(folder), (std::vector<std::string>{"kept.txt"}));
}

}  // namespace
