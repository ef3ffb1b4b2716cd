// The failure report: message table, the error box text, and the box that ends the run.
#include "support/failure.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "support/line_file.h"
#include "win32emu/machine/machine.h"

namespace {

TEST(IoErrorText, KnownCodesHaveWordsAndOthersTheirNumber) {
  EXPECT_EQ(IoErrorText(2), "File not found");
  EXPECT_EQ(IoErrorText(3), "Invalid filename");
  EXPECT_EQ(IoErrorText(4), "Too many open files");
  EXPECT_EQ(IoErrorText(5), "File access denied");
  EXPECT_EQ(IoErrorText(100), "Read beyond end of file");
  EXPECT_EQ(IoErrorText(101), "Disk full");
  EXPECT_EQ(IoErrorText(106), "Invalid numeric input");
  EXPECT_EQ(IoErrorText(32), "I/O error 32");
  EXPECT_EQ(IoErrorText(112), "I/O error 112");
  EXPECT_EQ(IoErrorText(183), "I/O error 183");
  EXPECT_EQ(IoErrorText(103), "I/O error 103");
}

TEST(FailureText, TwoLinesJoinedByOneLineFeedWithAFinalFullStop) {
  EXPECT_EQ(FailureText("EInOutError", "setup.exe", 0x1A2B, "File not found"),
            "Exception EInOutError in module setup.exe at 00001A2B.\nFile not found.");
  EXPECT_EQ(FailureText("ERegistryException", "setup.exe", 0xABCDEF12, "Done."),
            "Exception ERegistryException in module setup.exe at ABCDEF12.\nDone.");
  EXPECT_EQ(FailureText("EInOutError", "setup.exe", 0, ""),
            "Exception EInOutError in module setup.exe at 00000000.\n");
}

TEST(FailureText, NeverLongerThanTheBoxTakes) {
  EXPECT_EQ(FailureText("E", "m", 1, std::string(5000, 'x')).size(), 1023u);
}

// CheckIo names its own call site, so that two checks in a row are told apart.
TEST(CheckIo, RaisesWhereItIsCalled) {
  const void* places[2] = {};
  for (int i = 0; i < 2; ++i) {
    PendingIoError = ERROR_FILE_NOT_FOUND;
    try {
      if (i == 0) {
        CheckIo();
      } else {
        CheckIo();
      }
    } catch (const EInOutError& error) {
      places[i] = error.RaisedAt();
      EXPECT_STREQ(error.ClassName(), "EInOutError");
      EXPECT_EQ(error.Message(), "File not found");
    }
  }
  EXPECT_NE(places[0], nullptr);
  EXPECT_NE(places[0], places[1]);
}

std::string LastLine(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line, last;
  while (std::getline(in, line)) {
    last = line;
  }
  return last;
}

TEST(ReportFailure, ShowsOneErrorBoxAndExitsWithCodeOne) {
  std::string log = emu::MachineRoot() + "/messages.log";
  EXPECT_EXIT(
      {
        PendingIoError = ERROR_PATH_NOT_FOUND;
        try {
          CheckIo();
        } catch (const Exception& failure) {
          ReportFailure(failure);
        }
      },
      testing::ExitedWithCode(1), "");
  std::string line = LastLine(log);
  std::regex expected(
      "0x2010\tApplication Error\tException EInOutError in module unit_tests at "
      "[0-9A-F]{8}\\.\\\\nInvalid filename\\.");
  EXPECT_TRUE(std::regex_match(line, expected)) << line;
}

}  // namespace
