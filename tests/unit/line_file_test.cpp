// Line files: the line rules that the package files and the command list rest on, the
// buffer edges, the codes left pending, and the directory creation whose failure waits.
#include "support/line_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/failure.h"
#include "test_machine.h"

namespace {

std::string Folder() {
  return test_machine::FreshFolder();
}

void PutBytes(const std::string& path, const std::string& bytes) {
  test_machine::PutFile(path, bytes);
}

std::string Bytes(const std::string& path) {
  return test_machine::ReadFile(path).value_or("<missing>");
}

// Reads `count` lines of a file holding `bytes`, checking after each step as the run does.
std::vector<std::string> ReadLines(const std::string& bytes, int count) {
  std::string path = Folder() + "text.txt";
  PutBytes(path, bytes);
  LineFile file(path);
  OpenForReading(file);
  CheckIo();
  std::vector<std::string> lines;
  for (int i = 0; i < count; ++i) {
    lines.push_back(ReadNextLine(file));
    CheckIo();
  }
  CloseLineFile(file);
  CheckIo();
  return lines;
}

using Lines = std::vector<std::string>;

// The code that CheckIo raises now, or 0 when it raises nothing.
std::int32_t RaisedCode() {
  try {
    CheckIo();
  } catch (const EInOutError& error) {
    return error.Code();
  }
  return 0;
}

TEST(LineFileReading, LineEndsAreLfOrCrLfAndALoneCrIsDropped) {
  EXPECT_EQ(ReadLines("one\ntwo\n", 2), (Lines{"one", "two"}));
  EXPECT_EQ(ReadLines("one\r\ntwo\r\n", 2), (Lines{"one", "two"}));
  EXPECT_EQ(ReadLines("a\rb\r\nc", 2), (Lines{"ab", "c"}));
  EXPECT_EQ(ReadLines("a\r\r\nb", 2), (Lines{"a", "b"}));
  EXPECT_EQ(ReadLines("\n\r\nx", 3), (Lines{"", "", "x"}));
}

TEST(LineFileReading, TheEndOfTheTextReadsAsEmptyLinesWithoutError) {
  EXPECT_EQ(ReadLines("last", 4), (Lines{"last", "", "", ""}));
  EXPECT_EQ(ReadLines("", 2), (Lines{"", ""}));
  EXPECT_EQ(ReadLines("a\r", 2), (Lines{"a", ""}));
}

TEST(LineFileReading, CtrlZEndsTheText) {
  EXPECT_EQ(ReadLines("ab\x1A"
                      "cd\nef\n",
                      3),
            (Lines{"ab", "", ""}));
  EXPECT_EQ(ReadLines("x\n\x1Ay\n", 3), (Lines{"x", "", ""}));
}

TEST(LineFileReading, BytesAreTakenAsTheyAre) {
  EXPECT_EQ(ReadLines(" \tpadded \t\n\xE4\xF6\n", 2), (Lines{" \tpadded \t", "\xE4\xF6"}));
  EXPECT_EQ(ReadLines(std::string("a\0b\n", 4), 1), (Lines{std::string("a\0b", 3)}));
}

TEST(LineFileReading, LongLinesAndLineEndsAcrossBufferEdgesReadWhole) {
  std::string line255(255, 'x');
  std::string line300(300, 'y');
  EXPECT_EQ(ReadLines(line255 + "\r\n" + line300 + "\r\nz", 3), (Lines{line255, line300, "z"}));
  // The CR is the last byte of the first read of a whole buffer, the LF the first of the next.
  std::string at_edge(kLineFileBuffer - 1, 'e');
  EXPECT_EQ(ReadLines(at_edge + "\r\nnext", 2), (Lines{at_edge, "next"}));
  // A lone CR at the edge is dropped, the line goes on.
  EXPECT_EQ(ReadLines(at_edge + "\rmore\n", 1), (Lines{at_edge + "more"}));
  std::string huge(1 << 20, 'h');
  EXPECT_EQ(ReadLines(huge + "\nend", 2), (Lines{huge, "end"}));
}

TEST(LineFileReading, AtEndOfTextSeesTheEndOfTheFileAndCtrlZ) {
  std::string path = Folder() + "ends.txt";
  PutBytes(path,
           "a\r\nb\r\n\x1A"
           "c");
  LineFile file(path);
  OpenForReading(file);
  EXPECT_FALSE(AtEndOfText(file));
  EXPECT_EQ(ReadNextLine(file), "a");
  EXPECT_FALSE(AtEndOfText(file));
  EXPECT_EQ(ReadNextLine(file), "b");
  EXPECT_TRUE(AtEndOfText(file));
  CloseLineFile(file);
  EXPECT_EQ(RaisedCode(), 0);
}

TEST(LineFileWriting, LinesEndInCrLfAndTextAddsNothing) {
  std::string path = Folder() + "list.lis";
  LineFile file(path);
  OpenForWriting(file);
  WriteLine(file, "MD");
  WriteText(file, "end");
  CloseLineFile(file);
  EXPECT_EQ(RaisedCode(), 0);
  EXPECT_EQ(Bytes(path), "MD\r\nend");
}

TEST(LineFileWriting, WritesLongerThanTheBufferArriveWholeAndInOrder) {
  std::string path = Folder() + "long.lis";
  LineFile file(path);
  OpenForWriting(file);
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    std::string line = std::string(static_cast<size_t>(i), 'a' + static_cast<char>(i % 26));
    WriteLine(file, line);
    expected += line + "\r\n";
  }
  CloseLineFile(file);
  EXPECT_EQ(RaisedCode(), 0);
  EXPECT_EQ(Bytes(path), expected);
}

TEST(LineFileWriting, OpeningForWritingEmptiesAnExistingFileAndReopeningWritesOutFirst) {
  std::string path = Folder() + "again.lis";
  PutBytes(path, "old content that is longer");
  LineFile file(path);
  OpenForWriting(file);
  WriteText(file, "new");
  OpenForReading(file);  // closes the writer first, writing out its buffer
  EXPECT_EQ(ReadNextLine(file), "new");
  CloseLineFile(file);
  EXPECT_EQ(RaisedCode(), 0);
}

TEST(LineFileWriting, AFileMadeAnewIsReadBackThroughItsOneHandleAfterRewinding) {
  std::string path = Folder() + "anew.lis";
  PutBytes(path, "an older file, longer than the new one");
  const std::string long_line(300, 'x');  // written out before the rewind
  LineFile file(path);
  CreateAnew(file);
  WriteLine(file, long_line);
  WriteText(file, "end");  // still in the buffer at the rewind
  RewindForReading(file);
  EXPECT_EQ(RaisedCode(), 0);
  EXPECT_EQ(ReadNextLine(file), long_line);
  EXPECT_EQ(ReadNextLine(file), "end");
  EXPECT_TRUE(AtEndOfText(file));
  RewindForReading(file);
  EXPECT_EQ(RaisedCode(), kIoNotOpenForWriting);
  CloseLineFile(file);
  EXPECT_EQ(RaisedCode(), 0);
  EXPECT_EQ(Bytes(path), long_line + "\r\nend");
}

TEST(LineFileFailures, OpenFailuresLeaveTheWindowsCode) {
  std::string folder = Folder();
  LineFile missing(folder + "missing.inf");
  OpenForReading(missing);
  EXPECT_EQ(RaisedCode(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing.mode, LineFileMode::kClosed);

  LineFile in_missing_folder(folder + "nowhere\\set.inf");
  OpenForReading(in_missing_folder);
  EXPECT_EQ(RaisedCode(), ERROR_PATH_NOT_FOUND);

  LineFile a_folder(folder);
  OpenForReading(a_folder);
  EXPECT_EQ(RaisedCode(), ERROR_ACCESS_DENIED);
}

TEST(LineFileFailures, APathOf260CharactersIsRefusedNotTruncated) {
  std::string folder = Folder();
  std::string long_path = folder + std::string(260 - folder.size(), 'n');
  ASSERT_EQ(long_path.size(), 260u);
  // A file under the name cut to 259 characters must not be the one that is opened.
  PutBytes(long_path.substr(0, 259), "wrong file\n");
  LineFile file(long_path);
  OpenForReading(file);
  EXPECT_EQ(RaisedCode(), ERROR_PATH_NOT_FOUND);
  LineFile writer(long_path);
  OpenForWriting(writer);
  EXPECT_EQ(RaisedCode(), ERROR_PATH_NOT_FOUND);
  CreateAnew(writer);
  EXPECT_EQ(RaisedCode(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Bytes(long_path.substr(0, 259)), "wrong file\n");
}

TEST(LineFileFailures, OperationsOnAFileInTheWrongModeHaveTheirOwnCodes) {
  LineFile file(Folder() + "never.txt");
  CloseLineFile(file);
  EXPECT_EQ(RaisedCode(), kIoNotOpen);
  EXPECT_EQ(ReadNextLine(file), "");
  EXPECT_EQ(RaisedCode(), kIoNotOpenForReading);
  WriteLine(file, "x");
  EXPECT_EQ(RaisedCode(), kIoNotOpenForWriting);

  OpenForWriting(file);
  ReadNextLine(file);
  EXPECT_EQ(RaisedCode(), kIoNotOpenForReading);
  CloseLineFile(file);
  OpenForReading(file);
  WriteText(file, "x");
  EXPECT_EQ(RaisedCode(), kIoNotOpenForWriting);
  CloseLineFile(file);
  EXPECT_EQ(RaisedCode(), 0);
}

TEST(LineFileFailures, AFileHeldOpenForWritingDoesNotOpenForReading) {
  std::string path = Folder() + "held.txt";
  HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  LineFile file(path);
  OpenForReading(file);
  EXPECT_EQ(RaisedCode(), ERROR_SHARING_VIOLATION);
  CloseHandle(writer);
  OpenForReading(file);
  CloseLineFile(file);
  EXPECT_EQ(RaisedCode(), 0);
}

// A code left pending by an operation that was not checked at once.
TEST(PendingFailure, WaitsForTheNextCheckEvenAfterASuccessfulOperation) {
  std::string folder = Folder();
  PendingIoError = ERROR_ALREADY_EXISTS;
  std::string path = folder + "ok.txt";
  PutBytes(path, "fine\n");
  LineFile file(path);
  OpenForReading(file);
  try {
    CheckIo();
    FAIL() << "the pending code was not raised";
  } catch (const EInOutError& error) {
    EXPECT_EQ(error.Code(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(error.Message(), "I/O error 183");
  }
  EXPECT_EQ(PendingIoError, 0);
  EXPECT_EQ(ReadNextLine(file), "fine");
  CloseLineFile(file);
  EXPECT_EQ(RaisedCode(), 0);
}

TEST(PendingFailure, AFailedOperationReplacesThePendingCode) {
  std::string folder = Folder();
  PendingIoError = ERROR_ALREADY_EXISTS;
  LineFile missing(folder + "missing.txt");
  OpenForReading(missing);
  EXPECT_EQ(RaisedCode(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
