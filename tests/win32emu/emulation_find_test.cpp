// The emulated folder listing: what it shows of host entries, in which order, and which it
// passes over.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "test_machine.h"
#include "win32emu/machine/machine.h"

namespace {

using test_machine::NewHostFolder;
using test_machine::Windows;
using test_machine::WriteHostFile;

// Every entry of the folder's "*.*" listing, with its data.
std::vector<WIN32_FIND_DATAA> ListAll(const std::string& host_folder) {
  std::vector<WIN32_FIND_DATAA> entries;
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA((Windows(host_folder) + "\\*.*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot list " << host_folder << ": " << GetLastError();
    return entries;
  }
  do {
    entries.push_back(data);
  } while (FindNextFileA(search, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindClose(search));
  return entries;
}

std::vector<std::pair<std::string, DWORD>> NamesAndAttributes(const std::string& host_folder) {
  std::vector<std::pair<std::string, DWORD>> listed;
  for (const WIN32_FIND_DATAA& entry : ListAll(host_folder)) {
    listed.emplace_back(entry.cFileName, entry.dwFileAttributes);
  }
  return listed;
}

TEST(EmulatedListing, ShowsWindowsAttributesOfHostEntries) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/plain", "p");
  WriteHostFile(folder + "/.hidden", "h");
  WriteHostFile(folder + "/locked", "l");
  ASSERT_EQ(chmod((folder + "/locked").c_str(), 0444), 0);
  ASSERT_EQ(mkdir((folder + "/sub").c_str(), 0777), 0);
  ASSERT_EQ(mkdir((folder + "/.config").c_str(), 0555), 0);

  auto listed = NamesAndAttributes(folder);
  ASSERT_GE(listed.size(), 2u);
  EXPECT_EQ(listed[0], std::make_pair(std::string("."), FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(listed[1], std::make_pair(std::string(".."), FILE_ATTRIBUTE_DIRECTORY));
  std::vector<std::pair<std::string, DWORD>> rest(listed.begin() + 2, listed.end());
  std::sort(rest.begin(), rest.end());
  std::vector<std::pair<std::string, DWORD>> expected = {
      {".config", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN},
      {".hidden", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN},
      {"locked", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY},
      {"plain", FILE_ATTRIBUTE_ARCHIVE},
      {"sub", FILE_ATTRIBUTE_DIRECTORY},
  };
  EXPECT_EQ(rest, expected);
}

TEST(EmulatedListing, PassesOverNamesWindowsCannotHold) {
  std::string folder = NewHostFolder();
  const std::vector<std::string> unrepresentable = {
      "line\nbreak", "carriage\rreturn", "tab\there", "bell\x07", "colon:name",
      "star*",       "question?",        "quote\"",   "less<",    "more>",
      "pipe|",       "back\\slash",      "nul.txt",   "COM1"};
  for (const std::string& name : unrepresentable) {
    WriteHostFile(folder + "/" + name, "x");
  }
  WriteHostFile(folder + "/kept name.txt", "x");
  WriteHostFile(folder + "/dot.", "x");
  WriteHostFile(folder + "/caf\xC3\xA9", "x");

  std::vector<std::string> names;
  for (const auto& [name, attributes] : NamesAndAttributes(folder)) {
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  // A UTF-8 host name comes in the machine's code page, 1252.
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "caf\xE9", "dot.", "kept name.txt"}));
}

TEST(EmulatedListing, FollowsTheHostOrderAndReadsLazily) {
  std::string folder = NewHostFolder();
  // More entries than one read of the host folder returns, so that a listing read ahead in
  // full would still show the entry removed below.
  for (int at = 0; at < 1200; ++at) {
    WriteHostFile(folder + "/file" + std::to_string(at * 37 % 1200), "");
  }
  std::vector<std::string> host_order;
  DIR* stream = opendir(folder.c_str());
  ASSERT_NE(stream, nullptr);
  while (const dirent* entry = readdir(stream)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") {
      host_order.push_back(name);
    }
  }
  closedir(stream);

  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA((Windows(folder) + "\\*.*").c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(FindNextFileA(search, &data));
  // An entry added after the start of the listing may or may not be seen, but one removed
  // before it was reached must not be: the folder is read as the listing goes.
  ASSERT_EQ(unlink((folder + "/" + host_order.back()).c_str()), 0);
  std::vector<std::string> listed;
  while (FindNextFileA(search, &data)) {
    listed.push_back(data.cFileName);
  }
  EXPECT_TRUE(FindClose(search));
  host_order.pop_back();
  EXPECT_EQ(listed, host_order);
}

TEST(EmulatedListing, ReportsSizeAndTimesOfTheHostFile) {
  std::string folder = NewHostFolder();
  std::string path = folder + "/big";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, (off_t{5} << 32) + 3), 0);  // sparse: takes no room
  close(fd);
  // 2001-02-03 04:05:06.7 UTC
  const struct timespec times[2] = {{981173106, 0}, {981173106, 700000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);

  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA((Windows(folder) + "\\b*").c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_STREQ(data.cFileName, "big");
  EXPECT_EQ(data.nFileSizeHigh, 5u);
  EXPECT_EQ(data.nFileSizeLow, 3u);
  unsigned long long expected = (981173106ull + 11644473600ull) * 10000000ull + 7000000ull;
  EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, static_cast<DWORD>(expected >> 32));
  EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, static_cast<DWORD>(expected & 0xFFFFFFFFu));
  EXPECT_EQ(data.ftLastAccessTime.dwHighDateTime, static_cast<DWORD>(expected >> 32));
  EXPECT_FALSE(FindNextFileA(search, &data));
  EXPECT_TRUE(FindClose(search));
}

TEST(EmulatedListing, DriveRootHasNoDots) {
  auto listed = NamesAndAttributes(emu::MachineRoot() + "/drive_c");
  std::vector<std::string> names;
  for (const auto& [name, attributes] : listed) {
    names.push_back(name);
  }
  EXPECT_EQ(std::count(names.begin(), names.end(), "."), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), ".."), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "TEMP"), 1);
}

TEST(EmulatedListing, FailuresCarryWindowsCodes) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/file", "x");
  WIN32_FIND_DATAA data;
  SetLastError(0);
  EXPECT_EQ(FindFirstFileA((Windows(folder) + "\\file\\*.*").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));

  SetLastError(0);
  EXPECT_EQ(FindFirstFileA((Windows(folder) + "\\nomatch*").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  HANDLE search = FindFirstFileA((Windows(folder) + "\\*.*").c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  while (FindNextFileA(search, &data)) {
  }
  SetLastError(0);
  EXPECT_FALSE(FindNextFileA(search, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindClose(search));
  SetLastError(0);
  EXPECT_FALSE(FindClose(search));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // A file handle is no search handle: FindClose refuses it and leaves it open.
  HANDLE file = CreateFileA((Windows(folder) + "\\file").c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  SetLastError(0);
  EXPECT_FALSE(FindClose(file));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(FindNextFileA(file, &data));
  EXPECT_TRUE(CloseHandle(file));
}

// A walk asks after each entry right after the listing gave it: the answer is the name's as
// Windows reads it, whatever the listing showed, and tells of what this process changed since.
TEST(EmulatedListing, AnEntryAskedAfterRightAfterItsListingAnswersForItsName) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/plain", "p");
  WriteHostFile(folder + "/locked", "l");
  ASSERT_EQ(chmod((folder + "/locked").c_str(), 0444), 0);
  ASSERT_EQ(mkdir((folder + "/sub").c_str(), 0777), 0);
  WriteHostFile(folder + "/dot.", "d");                          // asked after as "dot"
  WriteHostFile(folder + "/wide\xC5\x82", "w");                  // listed as "wide?"
  ASSERT_EQ(symlink("nowhere", (folder + "/gone").c_str()), 0);  // listed as the link
  const std::map<std::string, DWORD> expected = {
      {"plain", FILE_ATTRIBUTE_ARCHIVE},
      {"locked", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY},
      {"sub", FILE_ATTRIBUTE_DIRECTORY},
      {"dot.", INVALID_FILE_ATTRIBUTES},
      {"wide?", INVALID_FILE_ATTRIBUTES},
      {"gone", INVALID_FILE_ATTRIBUTES},
  };
  const std::string windows_folder = Windows(folder) + "\\";
  std::map<std::string, DWORD> asked;
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA((windows_folder + "*.*").c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  do {
    if (std::string(data.cFileName) != "." && std::string(data.cFileName) != "..") {
      asked[data.cFileName] = GetFileAttributesA((windows_folder + data.cFileName).c_str());
    }
  } while (FindNextFileA(search, &data));
  EXPECT_TRUE(FindClose(search));
  EXPECT_EQ(asked, expected);

  // Changed by this process between the listing and the question.
  const std::string plain = windows_folder + "plain";
  auto listed_then = [&](const std::function<void()>& change) {
    HANDLE again = FindFirstFileA(plain.c_str(), &data);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    change();
    DWORD attributes = GetFileAttributesA(plain.c_str());
    FindClose(again);
    return attributes;
  };
  EXPECT_EQ(
      listed_then([&] { EXPECT_TRUE(SetFileAttributesA(plain.c_str(), FILE_ATTRIBUTE_READONLY)); }),
      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(
      listed_then([&] { EXPECT_TRUE(SetFileAttributesA(plain.c_str(), FILE_ATTRIBUTE_NORMAL)); }),
      FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(listed_then([&] { EXPECT_TRUE(DeleteFileA(plain.c_str())); }), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // The folder renamed while its listing is open, and another made at its old path: the
  // listing goes on in the folder it opened, and a question asks where the name leads now.
  for (const bool made_again : {false, true}) {
    SCOPED_TRACE(made_again);
    const std::string listed = NewHostFolder();
    WriteHostFile(listed + "/first", "f");
    WriteHostFile(listed + "/second", "s");
    const std::string windows_listed = Windows(listed);
    HANDLE moved = FindFirstFileA((windows_listed + "\\*.*").c_str(), &data);
    ASSERT_NE(moved, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(MoveFileExA(windows_listed.c_str(), (windows_listed + "-moved").c_str(), 0));
    if (made_again) {
      ASSERT_TRUE(CreateDirectoryA(windows_listed.c_str(), nullptr));
      ASSERT_TRUE(CreateDirectoryA((windows_listed + "\\first").c_str(), nullptr));
      ASSERT_TRUE(CreateDirectoryA((windows_listed + "\\second").c_str(), nullptr));
    }
    int asked_after = 0;
    while (FindNextFileA(moved, &data)) {
      const std::string name = data.cFileName;
      if (name == "first" || name == "second") {
        ++asked_after;
        SetLastError(0);
        EXPECT_EQ(GetFileAttributesA((windows_listed + "\\" + name).c_str()),
                  made_again ? FILE_ATTRIBUTE_DIRECTORY : INVALID_FILE_ATTRIBUTES)
            << name;
        EXPECT_EQ(GetLastError(), made_again ? 0u : static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
      }
    }
    EXPECT_EQ(asked_after, 2);
    EXPECT_TRUE(FindClose(moved));
  }
}

TEST(EmulatedListing, InjectedFaultsFailBeforeAnything) {
  std::string folder = NewHostFolder();
  std::string mask = Windows(folder) + "\\*.*";
  WIN32_FIND_DATAA data;
  {
    test_machine::FaultPlan failure;
    failure.Fail("FindFirstFileA", mask, ERROR_ACCESS_DENIED, 0);
    SetLastError(0);
    EXPECT_EQ(FindFirstFileA(mask.c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(failure.Injected(), 1);
  }
  HANDLE search = FindFirstFileA(mask.c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  {
    test_machine::FaultPlan failure;
    failure.Fail("FindNextFileA", mask, ERROR_READ_FAULT, 0);
    WIN32_FIND_DATAA before = data;
    EXPECT_FALSE(FindNextFileA(search, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_READ_FAULT));
    EXPECT_EQ(failure.Injected(), 1);
    EXPECT_STREQ(data.cFileName, before.cFileName);
  }
  // The listing goes on where it was once the fault is gone.
  ASSERT_TRUE(FindNextFileA(search, &data));
  EXPECT_STREQ(data.cFileName, "..");
  EXPECT_TRUE(FindClose(search));
}

// The listing in UTF-16 gives the host's names as they are, also those that the ANSI listing
// can give only with '?': a character the code page lacks, a byte that is no UTF-8.
TEST(EmulatedListing, TheWideListingGivesHostNamesAsTheyAre) {
  std::string folder = NewHostFolder();
  WriteHostFile(folder + "/\xCE\xA9mega", "o");  // U+03A9, not in 1252
  WriteHostFile(folder + "/bad\xFF", "b");
  WriteHostFile(folder + "/\xF0\x9F\x98\x80", "e");  // beyond 16 bits: two units
  std::u16string mask;
  for (char c : Windows(folder) + "\\*.*") {
    mask += static_cast<char16_t>(static_cast<unsigned char>(c));
  }
  WIN32_FIND_DATAW data;
  std::map<std::u16string, DWORD> listed;
  {
    test_machine::FaultPlan seen;
    HANDLE search = FindFirstFileW(mask.c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do {
      listed[data.cFileName] = data.dwFileAttributes;
    } while (FindNextFileW(search, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(search));
    // The calls are asked about under their own names, with the mask in the code page.
    EXPECT_EQ(seen.Calls("FindFirstFileW", Windows(folder) + "\\*.*"), 1);
    EXPECT_EQ(seen.Calls("FindNextFileW", Windows(folder) + "\\*.*"), 5);
    EXPECT_EQ(seen.Calls("FindNextFileA"), 0);
  }
  EXPECT_EQ(listed.size(), 5u);
  EXPECT_TRUE(listed[u"."] & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(listed.count(u"\u03A9mega"), 1u);
  EXPECT_EQ(listed.count(u"bad\uFFFD"), 1u);
  EXPECT_EQ(listed.count(u"\U0001F600"), 1u);
  for (const WIN32_FIND_DATAA& entry : ListAll(folder)) {
    const std::string name = entry.cFileName;
    EXPECT_TRUE(name == "." || name == ".." || name == "?mega" || name == "bad?" || name == "?")
        << name;
  }
  // Made ANSI, the names are the ANSI listing's, and the conversion tells which lost a character.
  char ansi[MAX_PATH];
  BOOL lossy = FALSE;
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\U0001F600", -1, ansi, MAX_PATH, nullptr, &lossy), 2);
  EXPECT_STREQ(ansi, "?");
  EXPECT_TRUE(lossy);
}

}  // namespace
