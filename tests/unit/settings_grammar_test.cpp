// The settings file's line grammar, against real files: the network
// settings as the reader takes them (and the key it misses first), values
// cut to the address buffers, lines cut at their ends and at 127 characters,
// the open section tracked line by line, and keys split from their values.
#include "shell/settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "settings_fixture.h"

namespace {

TEST_F(Settings, LoadNetworkSettingsFollowsTheGrammar) {
  const std::string local = "IP Address of THIS PC", server = "IP Address of server";
  const struct {
    const char* name;
    std::string file;
    const char* missing;  // the key the loading misses first, or null when both are found
    const char* local;    // what thisPc holds afterwards
    const char* server;
  } cases[] = {
      {"plain", "[Network Settings]\r\n" + local + " = 10.0.0.1\r\n" + server + " = 10.0.0.2\r\n", nullptr, "10.0.0.1",
       "10.0.0.2"},
      {"other letter cases and no blanks",
       "[nETWORK sETTINGS]\r\nip address of this pc=10.0.0.1\r\n"
       "IP ADDRESS OF SERVER=10.0.0.2\r\n",
       nullptr, "10.0.0.1", "10.0.0.2"},
      {"LF line ends, blanks, comments",
       "; top\n\n[Network Settings]\n   \t\n% x\n  # y\n  " + local + "   =   10.0.0.1   \n" + server + " = 10.0.0.2\n",
       nullptr, "10.0.0.1", "10.0.0.2"},
      {"header followed by a blank opens nothing", "[Network Settings] \r\n" + local + " = 1\r\n" + server + " = 2\r\n",
       kLocalAddressKey, "192.168.1.60", "192.168.1.40"},
      {"header followed by a comment opens nothing",
       "[Network Settings] ; mine\r\n" + local + " = 1\r\n" + server + " = 2\r\n", kLocalAddressKey, "192.168.1.60",
       "192.168.1.40"},
      {"key before the first header is ignored", server + " = 9.9.9.9\r\n[Network Settings]\r\n" + local + " = 1\r\n",
       kServerAddressKey, "1", "192.168.1.40"},
      {"key in another section is ignored",
       "[Network Settings]\r\n" + local + " = 1\r\n[Other]\r\n" + server + " = 2\r\n", kServerAddressKey, "1",
       "192.168.1.40"},
      {"section opened twice",
       "[Network Settings]\r\n" + local + " = 1\r\n[Other]\r\n[network settings]\r\n" + server + " = 2\r\n", nullptr,
       "1", "2"},
      {"repeated key: the last wins",
       "[Network Settings]\r\n" + local + " = 1\r\n" + server + " = 2\r\n" + local + " = 3\r\n", nullptr, "3", "2"},
      {"comment after the value",
       "[Network Settings]\r\n" + local + " = 10.0.0.1   ; office\r\n" + server + " = 10.0.0.2;x;y\r\n", nullptr,
       "10.0.0.1", "10.0.0.2;x"},
      {"quoted values keep ';'", "[Network Settings]\r\n" + local + " = \"a;b\"\r\n" + server + " = \"c;d\" ; e\r\n",
       nullptr, "a;b", "c;d"},
      {"two quotes are empty", "[Network Settings]\r\n" + local + " = \"\"\r\n" + server + " = \"\r\n", nullptr, "",
       ""},
      {"two equals signs", "[Network Settings]\r\n" + local + " == 10.0.0.1\r\n" + server + " = = =10.0.0.2\r\n",
       nullptr, "10.0.0.1", "10.0.0.2"},
      {"bare key and key with nothing after '='", "[Network Settings]\r\n" + local + "\r\n" + server + " =\r\n",
       nullptr, "", ""},
      {"bare key keeps trailing blanks and so does not match", "[Network Settings]\r\n" + local + " \r\n",
       kLocalAddressKey, "192.168.1.60", "192.168.1.40"},
      {"unterminated last line is lost", "[Network Settings]\r\n" + local + " = 1\r\n" + server + " = 2",
       kServerAddressKey, "1", "192.168.1.40"},
      {"a long line is read in pieces of 127",
       "[Network Settings]\r\n;" + std::string(126, 'x') + server + " = 10.0.0.2\r\n" + local + " = 1\r\n", nullptr,
       "1", "10.0.0.2"},
      {"empty file", "", kLocalAddressKey, "192.168.1.60", "192.168.1.40"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(settingsPath, c.file);
    NetworkSettings network;
    const Status status = LoadNetworkSettings(&network);
    if (c.missing == nullptr) {
      EXPECT_EQ(Outcome::kDone, status.outcome()) << status.text();
    } else {
      EXPECT_EQ(Outcome::kBadInput, status.outcome());
      EXPECT_PRED_FORMAT2(::testing::IsSubstring, c.missing, status.text());
    }
    EXPECT_STREQ(c.local, network.thisPc);
    EXPECT_STREQ(c.server, network.server);
  }
}

TEST_F(Settings, LongValuesAreCutToFitTheAddressBuffers) {
  for (size_t length : {size_t(99), size_t(100), size_t(125)}) {
    SCOPED_TRACE(length);
    const std::string value(length, '7');
    WriteFile(settingsPath, "[Network Settings]\r\nIP Address of THIS PC=" + value + "\r\nIP Address of server=" +
                                value.substr(0, 104) + "\r\n");
    NetworkSettings network;
    EXPECT_EQ(Outcome::kDone, LoadNetworkSettings(&network).outcome());
    EXPECT_EQ(value.substr(0, 99), network.thisPc);
    EXPECT_EQ(value.substr(0, 99), network.server);
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

}  // namespace
