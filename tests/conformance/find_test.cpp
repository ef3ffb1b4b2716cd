// Folder listings as the updater's folder walk sees them.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "test_machine.h"

namespace {

struct Entry {
  std::string name;
  DWORD attributes;
  DWORD size;
};

// Every entry of `mask` in the order listed; the code that ended the listing in `ended`.
std::vector<Entry> List(const std::string& mask, DWORD* ended) {
  std::vector<Entry> entries;
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(mask.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    *ended = GetLastError();
    return entries;
  }
  do {
    entries.push_back({data.cFileName, data.dwFileAttributes, data.nFileSizeLow});
  } while (FindNextFileA(search, &data));
  *ended = GetLastError();
  EXPECT_TRUE(FindClose(search));
  return entries;
}

TEST(FolderListing, ListsDotsFirstThenEveryEntryWithItsAttributes) {
  std::string folder = test_machine::NewScratchFolder();
  ASSERT_TRUE(test_machine::WriteWholeFile(folder + "five.txt", "12345"));
  ASSERT_TRUE(test_machine::WriteWholeFile(folder + "no_extension", ""));
  ASSERT_TRUE(CreateDirectoryA((folder + "sub").c_str(), nullptr));

  DWORD ended = 0;
  std::vector<Entry> entries = List(folder + "*.*", &ended);
  EXPECT_EQ(ended, static_cast<DWORD>(ERROR_NO_MORE_FILES));
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[0].name, ".");
  EXPECT_EQ(entries[1].name, "..");
  EXPECT_TRUE(entries[0].attributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_TRUE(entries[1].attributes & FILE_ATTRIBUTE_DIRECTORY);
  std::set<std::string> names;
  for (size_t at = 2; at < entries.size(); ++at) {
    const Entry& entry = entries[at];
    names.insert(entry.name);
    if (entry.name == "sub") {
      EXPECT_TRUE(entry.attributes & FILE_ATTRIBUTE_DIRECTORY);
    } else {
      EXPECT_FALSE(entry.attributes & FILE_ATTRIBUTE_DIRECTORY) << entry.name;
      EXPECT_TRUE(entry.attributes & FILE_ATTRIBUTE_ARCHIVE) << entry.name;
      EXPECT_FALSE(entry.attributes & FILE_ATTRIBUTE_READONLY) << entry.name;
      EXPECT_EQ(entry.size, entry.name == "five.txt" ? 5u : 0u) << entry.name;
    }
  }
  EXPECT_EQ(names, (std::set<std::string>{"five.txt", "no_extension", "sub"}));
}

// The listing in UTF-16 gives the entries of the ANSI one: each name, made ANSI in the code
// page, is the ANSI listing's, and reads back as listed; the attributes are the same.
TEST(FolderListing, TheWideListingGivesTheAnsiListingsEntriesInUtf16) {
  std::string folder = test_machine::NewScratchFolder();
  const std::string high = "\x80\x8a\xa3\xb5\xc0\xd0\xdf\xe0\xf6\xfe.txt";
  ASSERT_TRUE(test_machine::WriteWholeFile(folder + "five.txt", "12345"));
  ASSERT_TRUE(test_machine::WriteWholeFile(folder + high, ""));
  ASSERT_TRUE(CreateDirectoryA((folder + "sub").c_str(), nullptr));
  DWORD ended = 0;
  std::set<std::pair<std::string, DWORD>> ansi;
  for (const Entry& entry : List(folder + "*.*", &ended)) {
    ansi.insert({entry.name, entry.attributes});
  }

  WCHAR mask[MAX_PATH];
  ASSERT_GT(MultiByteToWideChar(CP_ACP, 0, (folder + "*.*").c_str(), -1, mask, MAX_PATH), 0);
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(mask, &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  std::set<std::pair<std::string, DWORD>> wide;
  do {
    char name[MAX_PATH];
    BOOL lossy = TRUE;
    int size = WideCharToMultiByte(CP_ACP, 0, data.cFileName, -1, name, MAX_PATH, nullptr, &lossy);
    ASSERT_GT(size, 0);
    EXPECT_FALSE(lossy) << name;
    WCHAR back[MAX_PATH];
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, name, -1, back, MAX_PATH), size);
    EXPECT_EQ(std::memcmp(back, data.cFileName, sizeof(WCHAR) * size), 0) << name;
    wide.insert({name, data.dwFileAttributes});
  } while (FindNextFileW(search, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindClose(search));
  EXPECT_EQ(wide, ansi);
  EXPECT_EQ(wide.size(), 5u);
}

// A character the code page lacks, with no like one in it, becomes '?', and the conversion says
// so; the text's size is told where no room is given, and too little room fails.
TEST(CodePage, ACharacterTheCodePageLacksBecomesTheDefaultOne) {
  const WCHAR text[] = {'a', 0x4E00, 0xE9, 0};
  char ansi[8] = {};
  BOOL lossy = FALSE;
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr), 4);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, ansi, sizeof ansi, nullptr, &lossy), 4);
  EXPECT_STREQ(ansi, "a?\xE9");
  EXPECT_TRUE(lossy);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text + 2, 1, ansi, sizeof ansi, nullptr, &lossy), 1);
  EXPECT_FALSE(lossy);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, ansi, 2, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  WCHAR wide[8];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a\xE9", -1, wide, 8), 3);
  EXPECT_EQ(wide[1], static_cast<WCHAR>(0xE9));
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a\xE9", -1, wide, 1), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(FolderListing, EmptyFolderHasOnlyTheDotsUnderEitherMask) {
  std::string folder = test_machine::NewScratchFolder();
  for (const char* mask : {"*.*", "*"}) {
    DWORD ended = 0;
    std::vector<Entry> entries = List(folder + mask, &ended);
    ASSERT_EQ(entries.size(), 2u) << mask;
    EXPECT_EQ(entries[0].name, ".");
    EXPECT_EQ(entries[1].name, "..");
    EXPECT_EQ(ended, static_cast<DWORD>(ERROR_NO_MORE_FILES)) << mask;
  }
}

TEST(FolderListing, EndOfListingLeavesTheLastEntryInPlace) {
  std::string folder = test_machine::NewScratchFolder();
  ASSERT_TRUE(test_machine::WriteWholeFile(folder + "only.txt", "x"));
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA((folder + "*.*").c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  while (std::strcmp(data.cFileName, "only.txt") != 0) {
    ASSERT_TRUE(FindNextFileA(search, &data));
  }
  WIN32_FIND_DATAA last = data;
  SetLastError(0);
  EXPECT_FALSE(FindNextFileA(search, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_EQ(std::memcmp(&last, &data, sizeof data), 0);
  EXPECT_FALSE(FindNextFileA(search, &data));
  EXPECT_TRUE(FindClose(search));
}

TEST(FolderListing, MissingFolderIsPathNotFound) {
  std::string folder = test_machine::NewScratchFolder();
  for (const std::string& mask : {folder + "missing\\*.*", folder + "missing\\deeper\\*.*"}) {
    WIN32_FIND_DATAA data;
    SetLastError(0);
    EXPECT_EQ(FindFirstFileA(mask.c_str(), &data), INVALID_HANDLE_VALUE) << mask;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << mask;
  }
}

TEST(FolderListing, InvalidHandlesAreRefused) {
  WIN32_FIND_DATAA data;
  SetLastError(0);
  EXPECT_FALSE(FindNextFileA(INVALID_HANDLE_VALUE, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
}

}  // namespace
