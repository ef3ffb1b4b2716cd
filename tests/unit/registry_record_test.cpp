// The registry record's accessor: existence, reading text values of each stored form,
// writing text and flag values, and the failures that raise ERegistryException.
#include "driver/registry_record.h"

#include <gtest/gtest.h>

#include <string>

#include "support/failure.h"
#include "test_machine.h"

namespace {

using test_machine::DwordValue;
using test_machine::QueryValue;
using test_machine::TextValue;

const std::string kPath = "\\Software\\Unit Product";
const std::string kKey = "Software\\Unit Product";

const char kHive[] =
    "REGEDIT4\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software]\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Unit Product]\n"
    "\"ProductVersion\"=\"Pallum 2.2\"\n"
    "\"Empty\"=hex(1):00\n"
    "\"Expand\"=hex(2):25,50,41,54,48,25,3b,78,00\n"
    "\"Inner\"=hex(1):41,42,00,43,44,00\n"
    "\"Unended\"=hex(1):41,42\n"
    "\"Version\"=dword:00000001\n"
    "\"Blob\"=hex:01,02\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Other]\n"
    "\"ProductVersion\"=\"other\"\n";

// The message of the ERegistryException that `body` raises, or "<nothing raised>".
template <typename Body>
std::string RegistryFailure(Body body) {
  try {
    body();
  } catch (const ERegistryException& failure) {
    EXPECT_STREQ(failure.ClassName(), "ERegistryException");
    EXPECT_NE(failure.RaisedAt(), nullptr);
    return failure.Message();
  }
  return "<nothing raised>";
}

class RecordAccess : public testing::Test {
 protected:
  void SetUp() override {
    test_machine::SetRegistry(kHive);
    record_.SetRoot(HKEY_LOCAL_MACHINE);
  }
  void TearDown() override { record_.CloseRecord(); }

  RegistryRecord record_;
};

TEST_F(RecordAccess, RecordExistsTellsWhetherTheKeyOpensAndLeavesTheCurrentKey) {
  ASSERT_TRUE(record_.OpenRecord(kPath));
  test_machine::FaultPlan plan;

  EXPECT_TRUE(record_.RecordExists("\\Software\\Other"));
  EXPECT_FALSE(record_.RecordExists("\\Software\\Missing"));
  EXPECT_FALSE(record_.RecordExists("\\Software\\Unit Product\\Below"));

  EXPECT_EQ(plan.Calls("RegOpenKeyExA"), 3);
  EXPECT_EQ(plan.Calls("RegCloseKey"), 1);  // the one that opened
  EXPECT_EQ(record_.ReadTextValue("ProductVersion"), "Pallum 2.2");
  EXPECT_EQ(test_machine::RegistryText(), kHive);  // nothing created
}

TEST_F(RecordAccess, TheLeadingBackslashIsRemovedAndKeyNamesMatchInAnyCase) {
  EXPECT_TRUE(record_.RecordExists(kPath));
  EXPECT_TRUE(record_.RecordExists(kKey));
  EXPECT_TRUE(record_.RecordExists("\\SOFTWARE\\unit product"));

  ASSERT_TRUE(record_.OpenRecord("\\software\\UNIT PRODUCT"));
  EXPECT_TRUE(record_.HasValue("productversion"));
  EXPECT_EQ(record_.ReadTextValue("PRODUCTVERSION"), "Pallum 2.2");
}

TEST_F(RecordAccess, OpenRecordNeverCreatesAKeyAndAFailedOpenKeepsTheCurrentOne) {
  ASSERT_TRUE(record_.OpenRecord(kPath));

  EXPECT_FALSE(record_.OpenRecord("\\Software\\Missing"));

  EXPECT_EQ(record_.ReadTextValue("ProductVersion"), "Pallum 2.2");
  EXPECT_EQ(test_machine::RegistryText(), kHive);
}

TEST_F(RecordAccess, OpeningAnotherKeyClosesThePreviousOne) {
  ASSERT_TRUE(record_.OpenRecord(kPath));
  test_machine::FaultPlan plan;

  ASSERT_TRUE(record_.OpenRecord("\\Software\\Other"));

  EXPECT_EQ(plan.Calls("RegCloseKey", kKey), 1);
  EXPECT_EQ(record_.ReadTextValue("ProductVersion"), "other");
  record_.CloseRecord();
  EXPECT_EQ(plan.Calls("RegCloseKey", "Software\\Other"), 1);
  EXPECT_FALSE(record_.HasValue("ProductVersion"));
}

TEST_F(RecordAccess, HasValueCountsValuesOfAnyType) {
  ASSERT_TRUE(record_.OpenRecord(kPath));
  EXPECT_TRUE(record_.HasValue("ProductVersion"));
  EXPECT_TRUE(record_.HasValue("Empty"));
  EXPECT_TRUE(record_.HasValue("Version"));
  EXPECT_TRUE(record_.HasValue("Blob"));
  EXPECT_FALSE(record_.HasValue("Missing"));
}

TEST_F(RecordAccess, TextValuesReadUpToTheirFirstNul) {
  ASSERT_EQ(QueryValue(kKey, "Empty"), TextValue(""));
  ASSERT_TRUE(record_.OpenRecord(kPath));

  EXPECT_EQ(record_.ReadTextValue("ProductVersion"), "Pallum 2.2");
  EXPECT_EQ(record_.ReadTextValue("Empty"), "");
  EXPECT_EQ(record_.ReadTextValue("Expand"), "%PATH%;x");  // not expanded
  EXPECT_EQ(record_.ReadTextValue("Inner"), "AB");
  EXPECT_EQ(record_.ReadTextValue("Unended"), "AB");
}

TEST_F(RecordAccess, AMissingValueReadsAsEmptyWithoutAFailure) {
  ASSERT_TRUE(record_.OpenRecord(kPath));
  EXPECT_EQ(RegistryFailure([&] { EXPECT_EQ(record_.ReadTextValue("Missing"), ""); }),
            "<nothing raised>");
}

TEST_F(RecordAccess, AValueOfAnotherTypeRaisesInvalidDataType) {
  ASSERT_TRUE(record_.OpenRecord(kPath));
  EXPECT_EQ(RegistryFailure([&] { record_.ReadTextValue("Version"); }),
            "Invalid data type for 'Version'");
  EXPECT_EQ(RegistryFailure([&] { record_.ReadTextValue("Blob"); }),
            "Invalid data type for 'Blob'");
}

TEST_F(RecordAccess, AValueWithoutDataReadsAsEmptyWhateverItsType) {
  test_machine::SetRegistry(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Unit Product]\n\"Nothing\"=hex:\n");
  ASSERT_EQ(QueryValue(kKey, "Nothing"), (test_machine::RegistryValue{REG_BINARY, ""}));
  ASSERT_TRUE(record_.OpenRecord(kPath));

  EXPECT_EQ(RegistryFailure([&] { EXPECT_EQ(record_.ReadTextValue("Nothing"), ""); }),
            "<nothing raised>");
}

TEST_F(RecordAccess, AValueThatTheSecondQueryCannotDeliverRaisesFailedToGetData) {
  ASSERT_TRUE(record_.OpenRecord(kPath));
  test_machine::FaultPlan plan;
  plan.Fail("RegQueryValueExA", "ProductVersion", ERROR_MORE_DATA, 2);

  EXPECT_EQ(RegistryFailure([&] { record_.ReadTextValue("ProductVersion"); }),
            "Failed to get data for 'ProductVersion'");
  EXPECT_EQ(plan.Calls("RegQueryValueExA", "ProductVersion"), 2);
  EXPECT_EQ(plan.Injected(), 1);
}

TEST_F(RecordAccess, AFailedFirstQueryReadsAsEmpty) {
  ASSERT_TRUE(record_.OpenRecord(kPath));
  test_machine::FaultPlan plan;
  plan.Fail("RegQueryValueExA", "ProductVersion", ERROR_ACCESS_DENIED, 1);

  EXPECT_EQ(RegistryFailure([&] { EXPECT_EQ(record_.ReadTextValue("ProductVersion"), ""); }),
            "<nothing raised>");
  EXPECT_EQ(plan.Calls("RegQueryValueExA", "ProductVersion"), 1);
}

TEST_F(RecordAccess, TextValuesAreWrittenAsRegSzWithTheirNul) {
  ASSERT_TRUE(record_.OpenRecord(kPath));

  record_.WriteTextValue("OldInstVer", "1.0 or 1.1");
  record_.WriteTextValue("ToDelPath", "C:\\pack\\");
  record_.WriteTextValue("ToDo", "");
  record_.WriteTextValue("Version", "1.3.1");  // was a REG_DWORD

  EXPECT_EQ(QueryValue(kKey, "OldInstVer"), TextValue("1.0 or 1.1"));
  EXPECT_EQ(QueryValue(kKey, "ToDelPath"), TextValue("C:\\pack\\"));
  EXPECT_EQ(QueryValue(kKey, "ToDo"),
            (test_machine::RegistryValue{REG_SZ, std::string(1, '\0')}));  // a single NUL
  EXPECT_EQ(QueryValue(kKey, "Version"), TextValue("1.3.1"));
  EXPECT_EQ(QueryValue("Software\\Other", "OldInstVer"), std::nullopt);
  EXPECT_EQ(record_.ReadTextValue("OldInstVer"), "1.0 or 1.1");
}

TEST_F(RecordAccess, FlagValuesAreWrittenAsFourByteDwords) {
  ASSERT_TRUE(record_.OpenRecord(kPath));

  record_.WriteFlagValue("MakeDeUpdate", false);
  EXPECT_EQ(QueryValue(kKey, "MakeDeUpdate"), DwordValue(0));
  record_.WriteFlagValue("MakeDeUpdate", true);
  EXPECT_EQ(QueryValue(kKey, "MakeDeUpdate"), DwordValue(1));
  record_.WriteFlagValue("ProductVersion", false);  // was text
  EXPECT_EQ(QueryValue(kKey, "ProductVersion"), DwordValue(0));
}

TEST_F(RecordAccess, AFailedWriteRaisesFailedToSetData) {
  ASSERT_TRUE(record_.OpenRecord(kPath));
  test_machine::FaultPlan plan;
  plan.Fail("RegSetValueExA", "Version", ERROR_ACCESS_DENIED, 0)
      .Fail("RegSetValueExA", "MakeDeUpdate", ERROR_CANTWRITE, 0);

  EXPECT_EQ(RegistryFailure([&] { record_.WriteTextValue("Version", "1.3.1"); }),
            "Failed to set data for 'Version'");
  EXPECT_EQ(RegistryFailure([&] { record_.WriteFlagValue("MakeDeUpdate", false); }),
            "Failed to set data for 'MakeDeUpdate'");
  EXPECT_EQ(plan.Injected(), 2);
  EXPECT_EQ(test_machine::RegistryText(), kHive);
}

TEST_F(RecordAccess, AKeyThatDoesNotOpenWithFullAccessReadsEmptyAndRefusesWrites) {
  {
    test_machine::FaultPlan plan;
    plan.Fail("RegOpenKeyExA", kKey, ERROR_ACCESS_DENIED, 0);
    EXPECT_FALSE(record_.OpenRecord(kPath));
  }
  EXPECT_FALSE(record_.HasValue("ProductVersion"));
  EXPECT_EQ(RegistryFailure([&] { EXPECT_EQ(record_.ReadTextValue("ProductVersion"), ""); }),
            "<nothing raised>");
  EXPECT_EQ(RegistryFailure([&] { record_.WriteTextValue("ProductVersion", "Pallum 2.2"); }),
            "Failed to set data for 'ProductVersion'");
  EXPECT_EQ(RegistryFailure([&] { record_.WriteFlagValue("MakeDeUpdate", false); }),
            "Failed to set data for 'MakeDeUpdate'");
  EXPECT_EQ(test_machine::RegistryText(), kHive);
}

TEST_F(RecordAccess, WithoutACurrentKeyEveryValueIsAbsentAndEveryWriteFails) {
  EXPECT_FALSE(record_.OpenRecord("\\Software\\Missing"));
  EXPECT_FALSE(record_.HasValue("ProductVersion"));
  EXPECT_EQ(record_.ReadTextValue("ProductVersion"), "");
  EXPECT_EQ(RegistryFailure([&] { record_.WriteTextValue("Version", "1.3.1"); }),
            "Failed to set data for 'Version'");
  EXPECT_EQ(test_machine::RegistryText(), kHive);
}

}  // namespace
