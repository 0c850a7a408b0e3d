// The settings file against real files: the default file byte for byte, the
// line grammar, the typed entries, rewriting through the temporary copy,
// the start-up sequence and its box texts, and the open failures that end
// the process.
#include "shell/settings.h"

#include "scratch_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr char kDefaultFile[] =
    "Kestrovaline Version 2.0.0.0 ini file\r\n"
    "\r\n"
    "[Network Settings]\r\n"
    "IP Address of THIS PC = 192.168.1.60\r\n"
    "IP Address of server = 192.168.1.40\r\n";

// Every test runs in a scratch folder of its own with the default addresses.
class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::current_path();
    scratch_ = MakeScratchFolder("kv_settings_");
    ASSERT_FALSE(scratch_.empty());
    fs::current_path(scratch_);
    std::snprintf(settingsPath, sizeof settingsPath, "Kestrovaline.ini");
    ResetAddresses();
  }
  static void ResetAddresses() {
    std::snprintf(localIpAddress, sizeof localIpAddress, "192.168.1.60");
    std::snprintf(serverIpAddress, sizeof serverIpAddress, "192.168.1.40");
  }
  void TearDown() override {
    fs::current_path(home_);
    fs::remove_all(scratch_);
  }

  fs::path home_, scratch_;
};

TEST_F(Settings, MissingFileIsCreatedWithTheDefaultsByteForByte) {
  for (RunMode mode : {RunMode::kStandalone, RunMode::kPlugin}) {
    SCOPED_TRACE(ProfileOf(mode).settingsPath);
    EXPECT_EQ(SettingsAtStart::kLoaded, LoadSettingsAtStart(mode).outcome);
    EXPECT_STREQ(ProfileOf(mode).settingsPath, settingsPath);
    EXPECT_EQ(kDefaultFile, ReadFile(settingsPath));
    EXPECT_STREQ("192.168.1.60", localIpAddress);
    EXPECT_STREQ("192.168.1.40", serverIpAddress);
  }
  // Native paths keep the backslashes in the name, so both files lie here,
  // and no temporary copy is left beside them.
  EXPECT_EQ(2, std::distance(fs::directory_iterator(scratch_), fs::directory_iterator()));
}

TEST_F(Settings, StartUpBoxTextDependsOnWhetherTheFileExistedAndOnTheMode) {
  const struct {
    const char* name;
    RunMode mode;
    std::string file;
    const char* box;
  } cases[] = {
      {"valid file, standalone", RunMode::kStandalone,
       "[Network Settings]\r\nIP Address of THIS PC = 10.0.0.7\r\nIP Address of server = 10.0.0.8\r\n", nullptr},
      {"valid file, plug-in", RunMode::kPlugin,
       "[Network Settings]\r\nIP Address of THIS PC = 10.0.0.7\r\nIP Address of server = 10.0.0.8\r\n", nullptr},
      {"invalid, standalone", RunMode::kStandalone, "[Network Settings] \r\n", "Invalid Inifile!\nPlease delete it!"},
      {"invalid, plug-in", RunMode::kPlugin, "nothing\r\n", "Invalid Inifile!\n Please delete it!"},
      {"empty, standalone", RunMode::kStandalone, "", "Invalid Inifile!\nPlease delete it!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetAddresses();
    WriteFile(ProfileOf(c.mode).settingsPath, c.file);
    const SettingsAtStart start = LoadSettingsAtStart(c.mode);
    const char* box = start.box;
    EXPECT_EQ(c.box == nullptr ? SettingsAtStart::kLoaded : SettingsAtStart::kInvalid, start.outcome);
    if (c.box == nullptr) {
      EXPECT_EQ(nullptr, box);
      EXPECT_STREQ("10.0.0.7", localIpAddress);
      EXPECT_STREQ("10.0.0.8", serverIpAddress);
    } else {
      EXPECT_STREQ(c.box, box);
      EXPECT_EQ(c.file, ReadFile(settingsPath));  // an existing file is never rewritten
    }
  }
}

TEST_F(Settings, LoadNetworkSettingsFollowsTheGrammar) {
  const std::string local = "IP Address of THIS PC", server = "IP Address of server";
  const struct {
    const char* name;
    std::string file;
    int result;
    const char* local;  // what localIpAddress holds afterwards
    const char* server;
  } cases[] = {
      {"plain", "[Network Settings]\r\n" + local + " = 10.0.0.1\r\n" + server + " = 10.0.0.2\r\n", 1, "10.0.0.1",
       "10.0.0.2"},
      {"other letter cases and no blanks", "[nETWORK sETTINGS]\r\nip address of this pc=10.0.0.1\r\n"
                                           "IP ADDRESS OF SERVER=10.0.0.2\r\n",
       1, "10.0.0.1", "10.0.0.2"},
      {"LF line ends, blanks, comments", "; top\n\n[Network Settings]\n   \t\n% x\n  # y\n  " + local +
                                              "   =   10.0.0.1   \n" + server + " = 10.0.0.2\n",
       1, "10.0.0.1", "10.0.0.2"},
      {"header followed by a blank opens nothing", "[Network Settings] \r\n" + local + " = 1\r\n" + server + " = 2\r\n",
       0, "192.168.1.60", "192.168.1.40"},
      {"header followed by a comment opens nothing",
       "[Network Settings] ; mine\r\n" + local + " = 1\r\n" + server + " = 2\r\n", 0, "192.168.1.60", "192.168.1.40"},
      {"key before the first header is ignored", server + " = 9.9.9.9\r\n[Network Settings]\r\n" + local + " = 1\r\n",
       0, "1", "192.168.1.40"},
      {"key in another section is ignored",
       "[Network Settings]\r\n" + local + " = 1\r\n[Other]\r\n" + server + " = 2\r\n", 0, "1", "192.168.1.40"},
      {"section opened twice", "[Network Settings]\r\n" + local + " = 1\r\n[Other]\r\n[network settings]\r\n" + server +
                                   " = 2\r\n",
       1, "1", "2"},
      {"repeated key: the last wins",
       "[Network Settings]\r\n" + local + " = 1\r\n" + server + " = 2\r\n" + local + " = 3\r\n", 1, "3", "2"},
      {"comment after the value", "[Network Settings]\r\n" + local + " = 10.0.0.1   ; office\r\n" + server +
                                      " = 10.0.0.2;x;y\r\n",
       1, "10.0.0.1", "10.0.0.2;x"},
      {"quoted values keep ';'", "[Network Settings]\r\n" + local + " = \"a;b\"\r\n" + server + " = \"c;d\" ; e\r\n", 1,
       "a;b", "c;d"},
      {"two quotes are empty", "[Network Settings]\r\n" + local + " = \"\"\r\n" + server + " = \"\r\n", 1, "", ""},
      {"two equals signs", "[Network Settings]\r\n" + local + " == 10.0.0.1\r\n" + server + " = = =10.0.0.2\r\n", 1,
       "10.0.0.1", "10.0.0.2"},
      {"bare key and key with nothing after '='", "[Network Settings]\r\n" + local + "\r\n" + server + " =\r\n", 1,
       "", ""},
      {"bare key keeps trailing blanks and so does not match", "[Network Settings]\r\n" + local + " \r\n", 0,
       "192.168.1.60", "192.168.1.40"},
      {"unterminated last line is lost", "[Network Settings]\r\n" + local + " = 1\r\n" + server + " = 2", 0, "1",
       "192.168.1.40"},
      {"a long line is read in pieces of 127",
       "[Network Settings]\r\n;" + std::string(126, 'x') + server + " = 10.0.0.2\r\n" + local + " = 1\r\n", 1, "1",
       "10.0.0.2"},
      {"empty file", "", 0, "192.168.1.60", "192.168.1.40"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetAddresses();
    WriteFile(settingsPath, c.file);
    EXPECT_EQ(c.result, LoadNetworkSettings());
    EXPECT_STREQ(c.local, localIpAddress);
    EXPECT_STREQ(c.server, serverIpAddress);
  }
}

TEST_F(Settings, LongValuesAreCutToFitTheAddressBuffers) {
  for (size_t length : {size_t(99), size_t(100), size_t(125)}) {
    SCOPED_TRACE(length);
    const std::string value(length, '7');
    WriteFile(settingsPath, "[Network Settings]\r\nIP Address of THIS PC=" + value + "\r\nIP Address of server=" +
                                value.substr(0, 104) + "\r\n");
    EXPECT_EQ(1, LoadNetworkSettings());
    EXPECT_EQ(value.substr(0, 99), localIpAddress);
    EXPECT_EQ(value.substr(0, 99), serverIpAddress);
  }
}

TEST_F(Settings, ReadSettingsLineCutsAtLineEndsAnd127Characters) {
  const std::string x200(200, 'x');
  const struct {
    const char* name;
    std::string file;
    std::vector<std::string> lines;
  } cases[] = {
      {"CR LF and LF", "a\r\nb\nc\r\n", {"a", "b", "c"}},
      {"unterminated last line dropped", "a\r\nb", {"a"}},
      {"empty lines", "\r\n\n", {"", ""}},
      {"lone CR stays inside the line", "a\rb\r\n", {"a\rb"}},
      {"CR at the very end", "a\r\nb\r", {"a"}},
      {"200 characters are 127 and 73", x200 + "\r\n", {x200.substr(0, 127), x200.substr(0, 73)}},
      {"126 characters and CR LF are one line", x200.substr(0, 126) + "\r\n", {x200.substr(0, 126)}},
      {"127 characters leave the line end alone", x200.substr(0, 127) + "\r\n", {x200.substr(0, 127), ""}},
      {"empty file", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile("lines", c.file);
    FILE* in = std::fopen("lines", "rb");
    ASSERT_NE(nullptr, in);
    std::vector<std::string> got;
    char line[kSettingsLineSize];
    for (int n, guard = 0; guard < 10 && (n = ReadSettingsLine(line, in)) != -1; ++guard) {
      EXPECT_EQ(std::strlen(line), size_t(n));
      got.emplace_back(line, size_t(n));
    }
    EXPECT_STREQ("", line);
    std::fclose(in);
    EXPECT_EQ(c.lines, got);
  }
}

TEST_F(Settings, ClassifySettingsLineTracksTheOpenSection) {
  const struct {
    const char* line;
    int lineClass;
    const char* sectionAfter;
  } steps[] = {
      {" \t\v\f", kBlankLine, "[]"},
      {"\t# c", kCommentLine, "[]"},
      {"key = 1", kOtherKeyLine, "[]"},
      {"[Other]", kOtherHeader, "[Other]"},
      {"  [network SETTINGS]", kWantedHeader, "[network SETTINGS]"},
      {"k = v", kWantedKeyLine, "[network SETTINGS]"},
      {"[Network Settings]", kWantedHeader, "[Network Settings]"},
      {"[X]", kClosingHeader, "[X]"},
      {"k", kOtherKeyLine, "[X]"},
      {"[Network Settings] ;x", kOtherHeader, "[Network Settings] ;x"},
      {"[Network Settings]", kWantedHeader, "[Network Settings]"},
      {"[Network Settings]x", kClosingHeader, "[Network Settings]x"},
  };
  char section[kSettingsLineSize] = "[]";
  for (const auto& s : steps) {
    SCOPED_TRACE(s.line);
    EXPECT_EQ(s.lineClass, ClassifySettingsLine(s.line, section, "[Network Settings]"));
    EXPECT_STREQ(s.sectionAfter, section);
  }
}

// The quotes stay in the value here; only a text entry removes them.
TEST_F(Settings, SplitKeyValueCases) {
  const struct {
    const char* line;
    const char* key;
    const char* value;
  } cases[] = {
      {"  key \t =  value  ", "key", "value"},
      {"key = \"a;b\" ; c", "key", "\"a;b\""},
      {"key = = \t=value", "key", "value"},
      {"key = a=b", "key", "a=b"},
      {"key = ;only a comment", "key", ""},
      {"  key  ", "key  ", ""},
      {"=value", "", "value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    char key[kSettingsLineSize], value[kSettingsLineSize];
    SplitKeyValue(c.line, key, value);
    EXPECT_STREQ(c.key, key);
    EXPECT_STREQ(c.value, value);
  }
}

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
  EXPECT_EQ(17, ReadSettingsEntries(table));
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
  EXPECT_EQ(5, ReadSettingsEntries(twoRowsOneKey));
  EXPECT_EQ(2, a1);
  EXPECT_EQ(2, a2);
  EXPECT_EQ(3, b);

  b = 0;
  const SettingsEntry unknownKind[] = {{"a", &a1, 9, 4}, {"b", &b, kSettingsInt, 4}, {nullptr, nullptr, 0, 0}};
  EXPECT_EQ(-1, ReadSettingsEntries(unknownKind));
  EXPECT_EQ(0, b);
  const SettingsEntry noMatch[] = {{"c", &b, kSettingsInt, 4}, {nullptr, nullptr, 0, 0}};
  EXPECT_EQ(0, ReadSettingsEntries(noMatch));
}

TEST_F(Settings, ReadErrorGivesMinusTwo) {
  fs::create_directory("folder.ini");  // opens for reading here, but every read fails
  std::snprintf(settingsPath, sizeof settingsPath, "folder.ini");
  int32_t a = 0;
  const SettingsEntry table[] = {{"a", &a, kSettingsInt, 4}, {nullptr, nullptr, 0, 0}};
  EXPECT_EQ(-2, ReadSettingsEntries(table));
  EXPECT_EQ(0, LoadNetworkSettings());
}

TEST_F(Settings, WriterRewritesThroughTheTemporaryCopy) {
  const std::string key = "IP Address of server";
  const struct {
    const char* name;
    std::string before, value, after;
  } cases[] = {
      {"normalises key lines, keeps every other line",
       "; settings\n\n[Other]\r\n  odd   =  line ; kept as it is\r\n[Network Settings]\r\n"
       "  IP Address of THIS PC=10.0.0.1   ; office\r\n   \r\n% note\r\nbare\r\nip address of SERVER == 1.1.1.1\r\n"
       "Extra =\"x;y\" ; q\r\n",
       "10.0.0.2",
       "; settings\r\n\r\n[Other]\r\n  odd   =  line ; kept as it is\r\n[Network Settings]\r\n"
       "IP Address of THIS PC = 10.0.0.1\r\n   \r\n% note\r\nbare = \r\nip address of SERVER = 10.0.0.2\r\n"
       "Extra = \"x;y\"\r\n"},
      {"repeated key: only the first is replaced",
       "[Network Settings]\r\nIP Address of server = 1\r\nIP Address of server=2\r\n", "3",
       "[Network Settings]\r\nIP Address of server = 3\r\nIP Address of server = 2\r\n"},
      {"missing key goes before the next section",
       "[Network Settings]\r\na = 1\r\n[Later]\r\nIP Address of server = 9\r\n", "4",
       "[Network Settings]\r\na = 1\r\nIP Address of server = 4\r\n[Later]\r\nIP Address of server = 9\r\n"},
      {"missing key at the end of an open section", "[Network Settings]\r\na = 1\r\n", "5",
       "[Network Settings]\r\na = 1\r\nIP Address of server = 5\r\n"},
      {"missing section is added", "[Other]\r\na = 1\r\n", "6",
       "[Other]\r\na = 1\r\n[Network Settings]\r\nIP Address of server = 6\r\n"},
      {"section reopened at the end is not repeated", "[Network Settings]\r\n[Other]\r\n[NETWORK SETTINGS]\r\n", "7",
       "[Network Settings]\r\nIP Address of server = 7\r\n[Other]\r\n[NETWORK SETTINGS]\r\n"},
      {"empty file", "", "8", "[Network Settings]\r\nIP Address of server = 8\r\n"},
      {"unterminated last line is lost", "[Network Settings]\r\nIP Address of server = 1\r\nlost", "9",
       "[Network Settings]\r\nIP Address of server = 9\r\n"},
      {"long value cut to 129", "[Network Settings]\r\n", std::string(140, 'v'),
       "[Network Settings]\r\n" + key + " = " + std::string(129, 'v') + "\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(settingsPath, c.before);
    EXPECT_EQ(0, WriteSettingsEntry(key.c_str(), c.value.c_str()));
    EXPECT_EQ(c.after, ReadFile(settingsPath));
    EXPECT_FALSE(fs::exists("Kestrovaline.tmp"));
  }
}

TEST_F(Settings, WriterFailureLeavesTheFileAsItWas) {
  fs::create_directory("folder.ini");
  std::snprintf(settingsPath, sizeof settingsPath, "folder.ini");
  EXPECT_EQ(-1, WriteSettingsEntry("a", "1"));
  EXPECT_TRUE(fs::is_directory("folder.ini"));
  EXPECT_TRUE(fs::exists("folder.tmp"));  // the copy stays behind
}

TEST_F(Settings, MakeTempPathCases) {
  const std::string x255(255, 'x');
  const struct {
    std::string path;
    int result;
    std::string temp;
  } cases[] = {
      {".\\Resources\\plugins\\TARNEX\\64\\Kestrovaline.ini", 1, ".\\Resources\\plugins\\TARNEX\\64\\Kestrovaline.tmp"},
      {"a/b/c.ini", 1, "a\\b\\c.tmp"},
      {"dir.d/settings", 1, "dir.d\\settings.tmp"},
      {"x.ini.longer", 1, "x.ini.tmp"},
      {"a.", 1, "a.tmp"},
      {x255, 1, x255 + ".tmp"},
      {x255 + "x", 0, x255 + "x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    char path[kSettingsPathSize];
    std::snprintf(path, sizeof path, "%s", c.path.c_str());
    EXPECT_EQ(c.result, MakeTempPath(path));
    EXPECT_EQ(c.temp, path);
  }
}

TEST_F(Settings, PrintWithSystemErrorAppendsTheReason) {
  FILE* out = std::tmpfile();
  ASSERT_NE(nullptr, out);
  errno = ENOENT;
  const int n = PrintWithSystemError(out, "Can't open %s", "x.ini");
  const std::string expected = "Can't open x.ini: No such file or directory\n";
  EXPECT_EQ(int(expected.size()), n);
  std::rewind(out);
  char got[128] = "";
  EXPECT_EQ(expected.size(), std::fread(got, 1, sizeof got - 1, out));
  EXPECT_EQ(expected, got);
  std::fclose(out);
}

// A file that cannot be opened: one "Can't open" line on standard error, and
// the outcome that ends the program with exit code 1, whichever step met it.
TEST_F(Settings, FilesThatCannotBeOpenedAreReportedOnce) {
  const std::string missing = "Can't open missing/Kestrovaline.ini: No such file or directory\n";
  std::snprintf(settingsPath, sizeof settingsPath, "missing/Kestrovaline.ini");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(kSettingsCannotOpen, LoadNetworkSettings());
  EXPECT_EQ(missing, ::testing::internal::GetCapturedStderr());
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(kSettingsCannotOpen, CreateDefaultSettings());
  EXPECT_EQ(missing, ::testing::internal::GetCapturedStderr());

  // The temporary copy cannot be created: the settings file stays as it was.
  std::snprintf(settingsPath, sizeof settingsPath, "Kestrovaline.ini");
  WriteFile(settingsPath, kDefaultFile);
  fs::create_directory("Kestrovaline.tmp");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(kSettingsCannotOpen, WriteSettingsEntry("IP Address of server", "1"));
  EXPECT_EQ("Can't open Kestrovaline.tmp: Is a directory\n", ::testing::internal::GetCapturedStderr());
  EXPECT_EQ(kDefaultFile, ReadFile(settingsPath));

  // At start-up: the file is missing, and the defaults cannot be written
  // into it (the temporary copy is still blocked).
  fs::remove(settingsPath);
  ::testing::internal::CaptureStderr();
  const SettingsAtStart start = LoadSettingsAtStart(RunMode::kStandalone);
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(SettingsAtStart::kCannotOpen, start.outcome);
  EXPECT_EQ(nullptr, start.box);
  EXPECT_EQ("Can't open Kestrovaline.tmp: Is a directory\n", said) << "once, and nothing read after it";
}

}  // namespace
