// The settings reader's typed entries: each kind's conversion of its value,
// every match counted, and the outcomes for an unknown kind and a read error.
#include "shell/settings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "settings_fixture.h"

namespace {

namespace fs = std::filesystem;

TEST_F(Settings, EntryKindsConvertTheirValues) {
  WriteFile(settingsPath,
            "[Network Settings]\r\n"
            "byte = 300\r\nbyteNeg = -1\r\n"
            "int = -42abc\r\nint3 = +7\r\nint4 = x\r\nint5 = 2147483648\r\n"
            "double = -1.5e2x\r\ndoubleDot = .5\r\ndoubleE = 1e\r\ndoubleInf = inf\r\n"
            "flagY = yes\r\nflagT = True\r\nflagN = no\r\nflag1 = 1\r\n"
            "list = 1, 2,,3\t-4\r\nshortList = 5 6 7\r\n"
            "text = \"abcdef\"\r\n");
  uint8_t byte = 0, byteNeg = 0;
  int32_t i2 = 0, i3 = 0, i4 = 9, i5 = 0;
  double d = 0, dDot = 0, dE = 0, dInf = 9;
  uint32_t fY = 0, fT = 0, fN = 9, f1 = 9;
  int32_t list[5] = {0, 0, 0, 0, 99};
  int32_t shortList[3] = {0, 0, 99};  // room for two pieces; the third stays
  char text[4] = "";
  const SettingsEntry table[] = {
      {"BYTE", &byte, kSettingsByte, 1},        {"byteneg", &byteNeg, kSettingsByte, 1},
      {"int", &i2, kSettingsInt, 4},            {"int3", &i3, 3, 4},
      {"int4", &i4, 4, 4},                      {"int5", &i5, 5, 4},
      {"double", &d, kSettingsDouble, 8},       {"doubleDot", &dDot, kSettingsDouble, 8},
      {"doubleE", &dE, kSettingsDouble, 8},     {"doubleInf", &dInf, kSettingsDouble, 8},
      {"flagY", &fY, kSettingsFlag, 4},         {"flagT", &fT, kSettingsFlag, 4},
      {"flagN", &fN, kSettingsFlag, 4},         {"flag1", &f1, kSettingsFlag, 4},
      {"list", list, kSettingsIntList, 16},     {"shortList", shortList, kSettingsIntList, 8},
      {"text", text, kSettingsText, sizeof text}, {nullptr, nullptr, 0, 0},
  };
  int assigned = 0;
  EXPECT_EQ(Outcome::kDone, ReadSettingsEntries(table, &assigned).outcome());
  EXPECT_EQ(17, assigned);
  EXPECT_EQ(44, byte);
  EXPECT_EQ(255, byteNeg);
  EXPECT_EQ(-42, i2);
  EXPECT_EQ(7, i3);
  EXPECT_EQ(0, i4);
  EXPECT_EQ(INT32_MIN, i5);  // wraps instead of overflowing
  EXPECT_DOUBLE_EQ(-150.0, d);
  EXPECT_DOUBLE_EQ(0.5, dDot);
  EXPECT_DOUBLE_EQ(1.0, dE);
  EXPECT_DOUBLE_EQ(0.0, dInf);
  EXPECT_EQ(1u, fY);
  EXPECT_EQ(1u, fT);
  EXPECT_EQ(0u, fN);
  EXPECT_EQ(0u, f1);
  EXPECT_EQ((std::vector<int32_t>{1, 2, 3, -4, 99}), std::vector<int32_t>(list, list + 5));
  EXPECT_EQ((std::vector<int32_t>{5, 6, 99}), std::vector<int32_t>(shortList, shortList + 3));
  EXPECT_STREQ("abc", text);
}

TEST_F(Settings, ReaderCountsEveryMatchAndStopsOnAnUnknownKind) {
  WriteFile(settingsPath, "[Network Settings]\r\na = 1\r\na = 2\r\nb = 3\r\n");
  int32_t a1 = 0, a2 = 0, b = 0;
  const SettingsEntry twoRowsOneKey[] = {
      {"a", &a1, kSettingsInt, 4}, {"A", &a2, kSettingsInt, 4}, {"b", &b, kSettingsInt, 4}, {nullptr, nullptr, 0, 0}};
  int assigned = 0;
  EXPECT_EQ(Outcome::kDone, ReadSettingsEntries(twoRowsOneKey, &assigned).outcome());
  EXPECT_EQ(5, assigned);
  EXPECT_EQ(2, a1);
  EXPECT_EQ(2, a2);
  EXPECT_EQ(3, b);

  // The reading stops at the first match of a row of unknown kind; what was
  // assigned before it stays, and is counted.
  const struct {
    const char* name;
    SettingsEntry table[3];
    const char* unknownKey;
    int assigned;
    int32_t a, b;
  } unknown[] = {
      {"first row", {{"a", &a1, 9, 4}, {"b", &b, kSettingsInt, 4}, {}}, "\"a\"", 0, 0, 0},
      {"after a known row", {{"a", &a1, kSettingsInt, 4}, {"A", &a2, 9, 4}, {}}, "\"A\"", 1, 1, 0},
  };
  for (const auto& c : unknown) {
    SCOPED_TRACE(c.name);
    a1 = a2 = b = 0;
    const Status status = ReadSettingsEntries(c.table, &assigned);
    EXPECT_EQ(Outcome::kBadInput, status.outcome());
    EXPECT_PRED_FORMAT2(::testing::IsSubstring, c.unknownKey, status.text());
    EXPECT_EQ(c.assigned, assigned);
    EXPECT_EQ(c.a, a1);
    EXPECT_EQ(c.b, b);
  }
  const SettingsEntry noMatch[] = {{"c", &b, kSettingsInt, 4}, {nullptr, nullptr, 0, 0}};
  EXPECT_EQ(Outcome::kDone, ReadSettingsEntries(noMatch, &assigned).outcome());
  EXPECT_EQ(0, assigned);
}

TEST_F(Settings, ReadErrorIsAFailureThatNamesTheFile) {
#ifdef _WIN32
  GTEST_SKIP() << "a folder does not open as a file under Windows (that case is kCannotOpen)";
#endif
  fs::create_directory("folder.ini");  // opens for reading here, but every read fails
  std::snprintf(settingsPath, sizeof settingsPath, "folder.ini");
  int32_t a = 0;
  const SettingsEntry table[] = {{"a", &a, kSettingsInt, 4}, {nullptr, nullptr, 0, 0}};
  int assigned = -1;
  const Status read = ReadSettingsEntries(table, &assigned);
  EXPECT_EQ(Outcome::kFailed, read.outcome());
  EXPECT_STREQ("Can't read folder.ini: Is a directory", read.text());
  EXPECT_EQ(0, assigned);
  NetworkSettings network;
  const Status loaded = LoadNetworkSettings(&network);
  EXPECT_EQ(Outcome::kFailed, loaded.outcome());
  EXPECT_STREQ(read.text(), loaded.text());
}

}  // namespace
