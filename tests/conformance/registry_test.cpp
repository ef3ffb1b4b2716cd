// The registry calls as the updater uses them, against the key that fixture.reg imports
// before the run.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

constexpr const char* kFixture = "Software\\ConformanceFixture";

// A handle to the fixture key with `access`; closes it at the end of the scope.
class FixtureKey {
 public:
  explicit FixtureKey(REGSAM access, const char* subkey = kFixture) {
    status_ = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, access, &key_);
  }
  ~FixtureKey() {
    if (status_ == ERROR_SUCCESS) {
      RegCloseKey(key_);
    }
  }
  FixtureKey(const FixtureKey&) = delete;
  FixtureKey& operator=(const FixtureKey&) = delete;

  LSTATUS status() const { return status_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
  LSTATUS status_ = ERROR_SUCCESS;
};

// The value's type and bytes, or the failing status in `status`.
struct Queried {
  LSTATUS status = ERROR_SUCCESS;
  DWORD type = 0;
  std::string data;
};

Queried QueryWhole(HKEY key, const char* name) {
  Queried result;
  DWORD size = 0;
  result.status = RegQueryValueExA(key, name, nullptr, &result.type, nullptr, &size);
  if (result.status != ERROR_SUCCESS) {
    return result;
  }
  result.data.assign(size, '?');
  result.status = RegQueryValueExA(key, name, nullptr, &result.type,
                                   reinterpret_cast<BYTE*>(result.data.data()), &size);
  result.data.resize(size);
  return result;
}

TEST(RegistryOpen, FindsExistingKeysWithoutRegardToCase) {
  FixtureKey exact(KEY_READ);
  EXPECT_EQ(exact.status(), ERROR_SUCCESS);
  FixtureKey folded(KEY_READ, "SOFTWARE\\conformancefixture\\INNER");
  EXPECT_EQ(folded.status(), ERROR_SUCCESS);
  FixtureKey trailing(KEY_READ, "Software\\ConformanceFixture\\");
  EXPECT_EQ(trailing.status(), ERROR_SUCCESS);
  FixtureKey parent(KEY_READ, "Software");
  EXPECT_EQ(parent.status(), ERROR_SUCCESS);
}

TEST(RegistryOpen, MissingKeyGivesFileNotFoundAndCreatesNothing) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\ConformanceFixture\\Absent", 0,
                          KEY_ALL_ACCESS, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\ConformanceFixture\\Absent", 0, KEY_READ, &key),
      ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\Software", 0, KEY_READ, &key), 161);
}

TEST(RegistryOpen, OpensRelativeToAnOpenKey) {
  FixtureKey fixture(KEY_READ);
  ASSERT_EQ(fixture.status(), ERROR_SUCCESS);
  HKEY inner = nullptr;
  ASSERT_EQ(RegOpenKeyExA(fixture.get(), "inner", 0, KEY_READ, &inner), ERROR_SUCCESS);
  Queried depth = QueryWhole(inner, "Depth");
  EXPECT_EQ(depth.status, ERROR_SUCCESS);
  EXPECT_EQ(depth.type, REG_DWORD);
  EXPECT_EQ(depth.data, std::string("\x02\0\0\0", 4));
  EXPECT_EQ(RegCloseKey(inner), ERROR_SUCCESS);
}

TEST(RegistryQuery, WithoutBufferGivesTypeAndSizeWithTheNul) {
  FixtureKey fixture(KEY_READ);
  ASSERT_EQ(fixture.status(), ERROR_SUCCESS);
  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(fixture.get(), "Text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(RegQueryValueExA(fixture.get(), "NUMBER", nullptr, &type, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
}

TEST(RegistryQuery, SmallBufferGivesMoreDataAndTheNeededSize) {
  FixtureKey fixture(KEY_READ);
  ASSERT_EQ(fixture.status(), ERROR_SUCCESS);
  BYTE buffer[16] = {};
  DWORD type = 0;
  DWORD size = 5;
  EXPECT_EQ(RegQueryValueExA(fixture.get(), "Text", nullptr, &type, buffer, &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  size = 6;
  EXPECT_EQ(RegQueryValueExA(fixture.get(), "Text", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 6), std::string("hello\0", 6));
}

TEST(RegistryQuery, ReadsEveryFixtureValueAsImported) {
  FixtureKey fixture(KEY_READ);
  ASSERT_EQ(fixture.status(), ERROR_SUCCESS);
  Queried number = QueryWhole(fixture.get(), "Number");
  EXPECT_EQ(number.data, std::string("\x2a\0\0\0", 4));
  Queried blob = QueryWhole(fixture.get(), "blob");
  EXPECT_EQ(blob.type, REG_BINARY);
  EXPECT_EQ(blob.data, std::string("\x00\x01\xfe\xff", 4));
  Queried escaped = QueryWhole(fixture.get(), "Escaped");
  EXPECT_EQ(escaped.data, std::string("C:\\Quest \"One\"\0", 15));
  Queried by_null = QueryWhole(fixture.get(), nullptr);
  Queried by_empty = QueryWhole(fixture.get(), "");
  EXPECT_EQ(by_null.data, std::string("default\0", 8));
  EXPECT_EQ(by_empty.data, by_null.data);
}

TEST(RegistryQuery, MissingValueGivesFileNotFound) {
  FixtureKey fixture(KEY_READ);
  ASSERT_EQ(fixture.status(), ERROR_SUCCESS);
  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(fixture.get(), "NoSuchValue", nullptr, &type, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
}

TEST(RegistryAccess, HandlesRefuseWhatTheyWereNotOpenedFor) {
  FixtureKey read_only(KEY_READ);
  ASSERT_EQ(read_only.status(), ERROR_SUCCESS);
  const BYTE data[] = "x";
  EXPECT_EQ(RegSetValueExA(read_only.get(), "Refused", 0, REG_SZ, data, sizeof data),
            ERROR_ACCESS_DENIED);
  FixtureKey write_only(KEY_SET_VALUE);
  ASSERT_EQ(write_only.status(), ERROR_SUCCESS);
  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(write_only.get(), "Text", nullptr, &type, nullptr, &size),
            ERROR_ACCESS_DENIED);
  FixtureKey check(KEY_READ);
  EXPECT_EQ(QueryWhole(check.get(), "Refused").status, ERROR_FILE_NOT_FOUND);
}

TEST(RegistrySet, StoredValuesReadBackWithTheirTypeAndBytes) {
  FixtureKey fixture(KEY_ALL_ACCESS);
  ASSERT_EQ(fixture.status(), ERROR_SUCCESS);
  const BYTE text[] = "written";
  ASSERT_EQ(RegSetValueExA(fixture.get(), "SetText", 0, REG_SZ, text, sizeof text), ERROR_SUCCESS);
  const BYTE bytes[] = {0, 1, 2, 0x80, 0xff};
  ASSERT_EQ(RegSetValueExA(fixture.get(), "SetBytes", 0, REG_BINARY, bytes, sizeof bytes),
            ERROR_SUCCESS);
  const BYTE empty[] = {0};
  ASSERT_EQ(RegSetValueExA(fixture.get(), "SetEmpty", 0, REG_BINARY, empty, 0), ERROR_SUCCESS);

  FixtureKey reader(KEY_READ);
  Queried got_text = QueryWhole(reader.get(), "settext");
  EXPECT_EQ(got_text.type, REG_SZ);
  EXPECT_EQ(got_text.data, std::string("written\0", 8));
  Queried got_bytes = QueryWhole(reader.get(), "SetBytes");
  EXPECT_EQ(got_bytes.type, REG_BINARY);
  EXPECT_EQ(got_bytes.data, std::string(reinterpret_cast<const char*>(bytes), sizeof bytes));
  Queried got_empty = QueryWhole(reader.get(), "SetEmpty");
  EXPECT_EQ(got_empty.status, ERROR_SUCCESS);
  EXPECT_EQ(got_empty.data, "");
}

TEST(RegistrySet, ReplacingAValueIgnoresTheCaseOfItsName) {
  FixtureKey fixture(KEY_ALL_ACCESS);
  ASSERT_EQ(fixture.status(), ERROR_SUCCESS);
  DWORD one = 1;
  DWORD two = 2;
  ASSERT_EQ(RegSetValueExA(fixture.get(), "Counter", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&one), sizeof one),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(fixture.get(), "COUNTER", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&two), sizeof two),
            ERROR_SUCCESS);
  Queried got = QueryWhole(fixture.get(), "counter");
  EXPECT_EQ(got.data, std::string(reinterpret_cast<const char*>(&two), sizeof two));
}

TEST(RegistryClose, BadOrClosedHandlesGiveInvalidHandle) {
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFixture, 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
}

}  // namespace
