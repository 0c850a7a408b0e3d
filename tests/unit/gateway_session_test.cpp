// A gateway session's replies: every error code from the requests that
// earn it, ids echoed whatever their JSON value, reads of every type with
// their counts, the status and link messages, and writes, which must reach
// the link as the very batch an add-on's request of the same writes makes,
// and must change nothing when any value of them is bad.
#include "web/gateway_session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway_fixture.h"
#include "ipc/request_walker.h"
#include "web/web_limits.h"

namespace {

// Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) on a chain
// of + that starts with a literal.
std::string Declare(const std::string& group, const std::string& offsets) {
  std::string message = R"({"op":"declare","group":")";
  message.append(group).append(R"(","offsets":)").append(offsets).append("}");
  return message;
}

// count fields f0, f1, ... of the type, 4 bytes apart, each with the extra members.
std::string Fields(int count, const std::string& type = "u8", const std::string& extra = "") {
  std::string list = "[";
  for (int i = 0; i < count; ++i) {
    if (i != 0) list += ',';
    list.append(R"({"name":"f)").append(std::to_string(i)).append(R"(","offset":)").append(std::to_string(i * 4));
    list.append(R"(,"type":")").append(type).append("\"").append(extra).append("}");
  }
  return list + "]";
}

TEST_F(Gateway, EachErrorFromTheRequestsThatEarnIt) {
  const std::string longName(kMaxNameBytes + 1, 'n');
  std::string overBatch;  // eight fields of 4096 bytes: more than one batch holds, in a short message
  for (int i = 0; i < 8; ++i) overBatch.append(i != 0 ? "," : "").append(R"({"offset":0,"type":"string","size":4096,"value":""})");
  std::string deep(kMaxJsonDepth + 1, '[');
  deep.append("1").append(kMaxJsonDepth + 1, ']');
  const struct { const char* name; std::string message; const char* error; bool id; } cases[] = {
      {"not JSON", "not json", "bad_json", false},
      {"cut short", R"({"op":"read")", "bad_json", false},
      {"empty", "", "bad_json", false},
      {"trailing comma", R"({"op":"status",})", "bad_json", false},
      {"number beyond a double", R"({"op":"status","x":1e400})", "bad_json", false},
      {"not UTF-8", "{\"op\":\"\xFF\"}", "bad_json", false},
      {"an array", "[]", "bad_request", false},
      {"a number", "42", "bad_request", false},
      {"no op", R"({"id":7})", "bad_request", true},
      {"op not a string", R"({"id":7,"op":3})", "bad_request", true},
      {"read without group", R"({"id":7,"op":"read"})", "bad_request", true},
      {"group not a string", R"({"id":7,"op":"read","group":5})", "bad_request", true},
      {"group empty", R"({"id":7,"op":"read","group":""})", "bad_request", true},
      {"declare without offsets", R"({"id":7,"op":"declare","group":"h"})", "bad_request", true},
      {"offsets not an array", R"({"id":7,"op":"declare","group":"h","offsets":{}})", "bad_request", true},
      {"offsets empty", R"({"id":7,"op":"declare","group":"h","offsets":[]})", "bad_request", true},
      {"a name twice", Declare("h", R"([{"name":"x","offset":0,"type":"u8"},{"name":"x","offset":1,"type":"u8"}])"),
       "bad_request", false},
      {"a field without a name", Declare("h", R"([{"offset":0,"type":"u8"}])"), "bad_request", false},
      {"a field not an object", Declare("h", "[1]"), "bad_request", false},
      {"subscribe without interval", R"({"id":7,"op":"subscribe","group":"g"})", "bad_request", true},
      {"interval negative", R"({"op":"subscribe","group":"g","interval":-1})", "bad_request", false},
      {"interval a fraction", R"({"op":"subscribe","group":"g","interval":1.5})", "bad_request", false},
      {"interval a string", R"({"op":"subscribe","group":"g","interval":"50"})", "bad_request", false},
      {"write without values", R"({"id":7,"op":"write"})", "bad_request", true},
      {"raw values not an array", R"({"op":"write","values":{"a":1}})", "bad_request", false},
      {"raw value missing", R"({"op":"write","values":[{"offset":0,"type":"u8"}]})", "bad_request", false},
      {"group values not an object", R"({"op":"write","group":"g","values":[1]})", "bad_request", false},
      {"group has no such name", R"({"op":"write","group":"g","values":{"zz":1}})", "bad_request", false},
      {"unknown op", R"({"id":7,"op":"delete"})", "unknown_op", true},
      {"op names are exact", R"({"op":"READ"})", "unknown_op", false},
      {"read unknown group", R"({"id":7,"op":"read","group":"nope"})", "unknown_group", true},
      {"subscribe unknown group", R"({"op":"subscribe","group":"nope","interval":50})", "unknown_group", false},
      {"stop unknown group", R"({"op":"stop","group":"nope"})", "unknown_group", false},
      {"write unknown group", R"({"op":"write","group":"nope","values":{}})", "unknown_group", false},
      {"declare beyond the image", Declare("h", R"([{"name":"x","offset":"0x1FFFF","type":"u16"}])"), "bad_offset",
       false},
      {"write a bad offset", R"({"op":"write","values":[{"offset":"0xZZ","type":"u8","value":1}]})", "bad_offset",
       false},
      {"declare an unknown type", Declare("h", R"([{"name":"x","offset":0,"type":"u128"}])"), "bad_type", false},
      {"write an unknown type", R"({"op":"write","values":[{"offset":0,"type":"float","value":1}]})", "bad_type",
       false},
      {"u8 above its range", R"({"id":7,"op":"write","values":[{"offset":0,"type":"u8","value":256}]})",
       "bad_value", true},
      {"u16 a fraction", R"({"op":"write","group":"g","values":{"a":1.5}})", "bad_value", false},
      {"u16 true", R"({"op":"write","group":"g","values":{"a":true}})", "bad_value", false},
      {"string too long", R"({"op":"write","group":"g","values":{"s":"abcde"}})", "bad_value", false},
      {"string above U+00FF", R"({"op":"write","group":"g","values":{"s":"\u20ac"}})", "bad_value", false},
      {"bytes of the wrong length", R"({"op":"write","group":"g","values":{"b":[1]}})", "bad_value", false},
      {"bytes above 255", R"({"op":"write","group":"g","values":{"b":[1,256]}})", "bad_value", false},
      {"message too long", R"({"op":"status","pad":")" + std::string(kMaxMessageBytes, 'x') + "\"}", "limit",
       false},
      {"nested too deep", R"({"op":"status","id":)" + deep + "}", "limit", false},
      {"group name too long", Declare(longName, Fields(1)), "limit", false},
      {"field name too long", Declare("h", R"([{"name":")" + longName + R"(","offset":0,"type":"u8"}])"), "limit",
       false},
      {"too many offsets", Declare("h", Fields(int(kMaxGroupOffsets) + 1)), "limit", false},
      {"a field too large", Declare("h", R"([{"name":"x","offset":0,"type":"bytes","size":4097}])"), "limit", false},
      {"a group too large in all", Declare("h", Fields(5, "bytes", R"(,"size":4096)")), "limit", false},
      {"interval too short", R"({"id":7,"op":"subscribe","group":"g","interval":9})", "limit", true},
      {"more than a batch", R"({"op":"write","values":[)" + overBatch + "]}", "limit", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    GatewaySession s(host, true, KeyedSettings());
    ASSERT_EQ(true, Ask(s, kDeclareG)["ok"]);
    const json reply = Ask(s, c.message);
    EXPECT_EQ(false, reply["ok"]);
    EXPECT_EQ(c.error, reply.value("error", "")) << reply.dump();
    EXPECT_TRUE(reply["message"].is_string() && !reply["message"].get<std::string>().empty());
    EXPECT_EQ(c.id, reply.contains("id"));
    if (c.id) {
      EXPECT_EQ(7, reply["id"]);
    }
  }
  EXPECT_TRUE(host.sender.batches.empty());
  EXPECT_EQ(0u, ReadAccessCounts().writeBytes);
}

TEST_F(Gateway, LimitsOfASession) {
  for (size_t i = 0; i < kMaxGroups; ++i) Expect(Declare(std::string("g").append(std::to_string(i)), Fields(1)));
  EXPECT_EQ("limit", Ask(Declare("one more", Fields(1)))["error"]);
  Expect(Declare("g0", Fields(2)));  // declaring a group again takes no room
  Expect(Declare("g1", Fields(int(kMaxGroupOffsets))));
  Expect(Declare("g2", Fields(kMaxGroupBytes / kMaxFieldSize, "bytes", R"(,"size":4096)")));

  GatewaySession readOnly(host, false, KeyedSettings());
  const json reply = Ask(readOnly, R"({"id":"w","op":"write","values":[{"offset":0,"type":"u8","value":1}]})");
  EXPECT_EQ("write_refused", reply["error"]);
  EXPECT_EQ("w", reply["id"]);
  EXPECT_EQ(Bytes{0}, Image(0, 1));
  Ask(readOnly, kDeclareG);
  EXPECT_EQ(true, Ask(readOnly, R"({"op":"read","group":"g"})")["ok"]) << "reading is still allowed";
}

TEST_F(Gateway, IdsComeBackAsTheyCame) {
  const char* ids[] = {"7", R"("abc")", "null", R"([1,{"a":2}])", "-3", "18446744073709551615", "true", "1.5",
                       R"({"k":"v"})", R"("\u00e9")"};
  for (const char* id : ids) {
    SCOPED_TRACE(id);
    const json expected = json::parse(id);
    EXPECT_EQ(expected, Ask(std::string(R"({"op":"status","id":)") + id + "}")["id"]);
    EXPECT_EQ(expected, Ask(std::string(R"({"op":"nope","id":)") + id + "}")["id"]);
    EXPECT_EQ(expected, Ask(std::string(R"({"id":)") + id + R"(,"op":"read","group":"missing"})")["id"]);
  }
  EXPECT_FALSE(Ask(R"({"op":"status"})").contains("id"));
  EXPECT_FALSE(Ask(R"({"id":1,"op":)").contains("id")) << "bad JSON has no id to echo";
}

TEST_F(Gateway, ReadsEveryTypeAndCountsAsAnAddOnsRead) {
  Expect(Declare("all", R"([{"name":"u8","offset":"0x10","type":"u8"},{"name":"s8","offset":"0x11","type":"s8"},
    {"name":"u16","offset":"0x12","type":"u16"},{"name":"s16","offset":"0x14","type":"s16"},
    {"name":"u32","offset":"0x18","type":"u32"},{"name":"s32","offset":"0x1C","type":"s32"},
    {"name":"u64","offset":"0x20","type":"u64"},{"name":"s64","offset":"0x28","type":"s64"},
    {"name":"f32","offset":"0x30","type":"f32"},{"name":"f64","offset":"0x38","type":"f64"},
    {"name":"nan","offset":"0x40","type":"f32"},{"name":"str","offset":"0x50","type":"string","size":8},
    {"name":"raw","offset":"0x1FFFE","type":"bytes","size":2}])"));
  SetImage(0x10, {0xFF, 0xFF, 0x34, 0x12, 0x00, 0x80, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0x80});
  SetImage(0x20, Bytes(8, 0xFF));
  SetImage(0x28, {0, 0, 0, 0, 0, 0, 0, 0x80});
  SetImage(0x30, {0, 0, 0xC0, 0x3F});                                   // 1.5f
  SetImage(0x38, {0, 0, 0, 0, 0, 0, 0xD0, 0xBF});                       // -0.25
  SetImage(0x40, {0, 0, 0xC0, 0x7F});                                   // NaN
  SetImage(0x50, {'H', 0xE9, 0xFF, 0, 'x', 'y', 'z', 0});               // "Hé" and a NUL
  SetImage(0x1FFFE, {0x01, 0xFE});

  std::string reply;
  session.Handle(R"({"op":"read","group":"all","id":1})", 0, &reply);
  EXPECT_EQ(R"({"ok":true,"group":"all","link":true,"values":{"u8":255,"s8":-1,"u16":4660,"s16":-32768,)"
            R"("u32":4294967295,"s32":-2147483648,"u64":18446744073709551615,"s64":-9223372036854775808,)"
            R"("f32":1.5,"f64":-0.25,"nan":null,"str":")" "H\xC3\xA9\xC3\xBF" R"(","raw":[1,254]},"id":1})",
            reply)
      << "values in the order declared, 64-bit integers exact";
  EXPECT_EQ(56u, ReadAccessCounts().readBytes);  // the fields' sizes
  EXPECT_EQ(1u, ReadAccessCounts().requests);

  host.sender.up = false;
  EXPECT_EQ(false, Expect(R"({"op":"read","group":"all"})")["link"]);
  EXPECT_EQ(1u, ReadAccessCounts().requests) << "as an add-on's, a request is counted only while the link is up";
  EXPECT_TRUE(host.sender.batches.empty());
}

TEST_F(Gateway, StatusAndLinkMessagesShowWhatTheWindowShows) {
  LinkStatus& s = host.status;
  s.state = kUdpTcpConnected;
  s.connection = ConnectionShown::kConnected;
  std::strcpy(s.serverName, "sim.example");
  s.udp = UdpShown::kLinkTraffic;
  s.udpRate = 42;
  const uint8_t address[4] = {10, 0, 0, 2};  // network order: the first byte in memory is the first number
  std::memcpy(&s.sender, address, 4);
  s.dataRate = 18.5;
  s.counted = true;
  s.counts = {100, 2000, 30};
  s.rates = {4, 50, 6};
  const json reply = Expect(R"({"op":"status"})");
  const json expected = {{"ok", true}, {"state", "UDP_TCP_CONNECTED"}, {"up", true}, {"server", "10.0.0.2"},
                         {"serverName", "sim.example"}, {"udpRate", 42}, {"dataRate", 18.5}, {"requests", 100},
                         {"requestRate", 4}, {"readBytes", 2000}, {"readRate", 50}, {"writeBytes", 30},
                         {"writeRate", 6}, {"lines", reply["lines"]},
                         {"web", {{"address", "http://10.0.0.7:8765/"}, {"key", "5ec7e7"}}}};
  EXPECT_EQ(expected, reply);
  ASSERT_EQ(size_t(kStatusLineCount), reply["lines"].size());
  for (int id = 0; id < kStatusLineCount; ++id) {
    char line[kUdpLineSize];
    FormatStatusLine(s, StatusLineId(id), line, sizeof line);
    EXPECT_EQ(line, reply["lines"][size_t(id)]);
  }
  EXPECT_EQ("Connected to Server sim.example", reply["lines"][size_t(kConnectionLine)]);
  EXPECT_EQ(R"({"op":"link","up":true,"server":"10.0.0.2"})", GatewaySession::LinkMessage(s));

  const LinkStatus starting;  // INIT, no server yet
  host.status = starting;
  const json down = Expect(R"({"op":"status"})");
  EXPECT_EQ("INIT", down["state"]);
  EXPECT_EQ(false, down["up"]);
  EXPECT_EQ("", down["server"]);
  EXPECT_EQ(R"({"op":"link","up":false,"server":""})", GatewaySession::LinkMessage(starting));
}

// The address for a tablet is this PC's on the network, never the one the
// page was opened by; the key goes only to a session that may write.
TEST_F(Gateway, StatusGivesTheAddressAndTheKeyOnlyToAWriter) {
  GatewaySettings noKey = KeyedSettings();
  noKey.key = "";
  GatewaySettings otherPort = KeyedSettings();
  otherPort.port = 8080;
  const struct {
    const char* name;
    bool mayWrite;
    GatewaySettings settings;
    json web;
  } cases[] = {
      {"a writer", true, KeyedSettings(), {{"address", "http://10.0.0.7:8765/"}, {"key", "5ec7e7"}}},
      {"a reader", false, KeyedSettings(), {{"address", "http://10.0.0.7:8765/"}}},
      {"a writer when there is no key", true, noKey, {{"address", "http://10.0.0.7:8765/"}}},
      {"another port", true, otherPort, {{"address", "http://10.0.0.7:8080/"}, {"key", "5ec7e7"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    GatewaySession s(host, c.mayWrite, c.settings);
    std::string reply;
    s.Handle(R"({"op":"status"})", 0, &reply);
    EXPECT_EQ(c.web, json::parse(reply)["web"]);
    if (!c.mayWrite) {
      EXPECT_EQ(std::string::npos, reply.find("5ec7e7")) << reply;
    }
  }
}

// The request area of an add-on's write records, each record's data given.
Bytes WriteRequest(const std::vector<std::pair<uint32_t, Bytes>>& writes) {
  Bytes area;
  auto put32 = [&area](uint32_t v) {
    for (int i = 0; i < 4; ++i) area.push_back(uint8_t(v >> (8 * i)));
  };
  for (const auto& [offset, data] : writes) {
    put32(kWriteKind), put32(offset), put32(uint32_t(data.size()));
    area.insert(area.end(), data.begin(), data.end());
  }
  put32(kEndKind);
  return area;
}

TEST_F(Gateway, AWriteIsTheBatchAnAddOnsRequestMakes) {
  const std::vector<std::pair<uint32_t, Bytes>> expected = {
      {0x0100, {0x01, 0x00}},                                    // u16 1
      {0x0200, {0xFE, 0xFF, 0xFF, 0xFF}},                        // s32 -2
      {0x0300, {0, 0, 0, 0, 0, 0, 0xF8, 0x3F}},                  // f64 1.5
      {0x0400, {'H', 0xE9, 0, 0, 0, 0}},                         // string of 6, "Hé"
      {0x0500, {1, 2, 255}},                                     // bytes of 3
      {0x330A, {0xEF, 0xBE}},                                    // the server's own bytes: forwarded only
      {0x1FFF8, {0, 0, 0, 0, 0, 0, 0, 0x80}},                    // s64 lowest, the image's last bytes
  };
  Bytes area = WriteRequest(expected);
  RecordingSender walkerLink;
  ASSERT_EQ(Outcome::kDone, WalkRequest(area.data(), area.size(), walkerLink));
  const Bytes walkerImage = Image(0, kImageSize), walkerMarks = PendingMarks(0, kImageSize);
  const AccessCounts walkerCounts = ReadAccessCounts();

  const char* writes[] = {
      R"({"op":"write","values":[{"offset":"0x0100","type":"u16","value":1},
         {"offset":512,"type":"s32","value":-2},{"offset":"768","type":"f64","value":1.5},
         {"offset":"0x400","type":"string","size":6,"value":"H\u00e9"},
         {"offset":"0x500","type":"bytes","size":3,"value":[1,2,255]},
         {"offset":"0x330A","type":"u16","value":48879},
         {"offset":"0x1FFF8","type":"s64","value":-9223372036854775808}]})",
      R"({"op":"write","group":"w","values":{"i":1,"t":-2,"d":1.5,"s":"H\u00e9","b":[1,2,255],"own":48879,
         "last":-9223372036854775808}})",
  };
  for (const char* write : writes) {
    SCOPED_TRACE(write);
    InitOffsetImage();
    ResetAccessCounts();
    host.sender.batches.clear();
    Expect(Declare("w", R"([{"name":"i","offset":"0x0100","type":"u16"},{"name":"t","offset":512,"type":"s32"},
        {"name":"d","offset":768,"type":"f64"},{"name":"s","offset":1024,"type":"string","size":6},
        {"name":"b","offset":1280,"type":"bytes","size":3},{"name":"own","offset":"0x330A","type":"u16"},
        {"name":"last","offset":"0x1FFF8","type":"s64"}])"));
    EXPECT_EQ(true, Expect(write)["sent"]);
    ASSERT_EQ(1u, host.sender.batches.size());
    ASSERT_EQ(1u, walkerLink.batches.size());
    EXPECT_EQ(walkerLink.batches[0], host.sender.batches[0]);
    EXPECT_TRUE(walkerImage == Image(0, kImageSize)) << "the image as the walker left it";
    EXPECT_TRUE(walkerMarks == PendingMarks(0, kImageSize)) << "the same shadow marks";
    EXPECT_EQ(walkerCounts.writeBytes, ReadAccessCounts().writeBytes);
    EXPECT_EQ(walkerCounts.requests, ReadAccessCounts().requests);
  }
}

TEST_F(Gateway, AWriteThatDidNotGoOutTakesItsMarksBack) {
  const struct { const char* name; bool up; Outcome reply; size_t batches; } cases[] = {
      {"link down", false, Outcome::kDone, 0},
      {"sent short", true, Outcome::kSentShort, 1},
      {"link lost on the send", true, Outcome::kNoLink, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InitOffsetImage();
    host.sender = RecordingSender();
    host.sender.up = c.up, host.sender.reply = c.reply;
    const json reply = Expect(R"({"op":"write","values":[{"offset":"0x0100","type":"u16","value":513}]})");
    EXPECT_EQ(false, reply["sent"]);
    EXPECT_EQ(c.batches, host.sender.batches.size());
    EXPECT_EQ((Bytes{0x01, 0x02}), Image(0x0100, 2)) << "the image shows the local write until the server's value";
    EXPECT_EQ((Bytes{0, 0}), PendingMarks(0x0100, 2));
  }
}

TEST_F(Gateway, ABadWriteChangesNothing) {
  Expect(kDeclareG);
  const char* bad[] = {
      R"({"op":"write","values":[{"offset":"0x0500","type":"u8","value":1},{"offset":0,"type":"u8","value":-1}]})",
      R"({"op":"write","values":[{"offset":"0x0500","type":"u8","value":1},{"offset":"0x20000","type":"u8","value":1}]})",
      R"({"op":"write","values":[{"offset":"0x0500","type":"u8","value":1},{"offset":0,"type":"u9","value":1}]})",
      R"({"op":"write","values":[{"offset":"0x0500","type":"u8","value":1},{"offset":0,"type":"u8"}]})",
      R"({"op":"write","values":[{"offset":"0x0500","type":"u8","value":1},5]})",
      R"({"op":"write","group":"g","values":{"a":7,"s":"too long"}})",
      R"({"op":"write","group":"g","values":{"a":7,"b":[1,2,3]}})",
      R"({"op":"write","group":"g","values":{"a":7,"nope":1}})",
  };
  const Bytes image = Image(0, kImageSize);
  for (const char* message : bad) {
    SCOPED_TRACE(message);
    EXPECT_EQ(false, Ask(message)["ok"]);
    EXPECT_TRUE(image == Image(0, kImageSize));
    EXPECT_TRUE(Bytes(kImageSize, 0) == PendingMarks(0, kImageSize));
  }
  EXPECT_TRUE(host.sender.batches.empty());
  EXPECT_EQ(0u, ReadAccessCounts().writeBytes);
  EXPECT_EQ(0u, ReadAccessCounts().requests);
}

TEST_F(Gateway, StringsAndExtremesReadBackAsWritten) {
  Expect(Declare("x", R"([{"name":"s","offset":"0x0600","type":"string","size":16},
      {"name":"big","offset":"0x0700","type":"u64"},{"name":"low","offset":"0x0708","type":"s64"},
      {"name":"f","offset":"0x0710","type":"f32"}])"));
  const std::string text = "\xC3\x9Cml\xC3\xA4ut \xC3\xBF\xC2\xA0!";  // "Ümläut ÿ", a no-break space, "!"
  Expect(R"({"op":"write","group":"x","values":{"s":")" + text +
         R"(","big":18446744073709551615,"low":-9223372036854775808,"f":0.1}})");
  EXPECT_EQ((Bytes{0xDC, 'm', 'l', 0xE4, 'u', 't', ' ', 0xFF, 0xA0, '!', 0, 0, 0, 0, 0, 0}), Image(0x0600, 16));
  const json values = Expect(R"({"op":"read","group":"x"})")["values"];
  EXPECT_EQ(text, values["s"]);
  EXPECT_EQ(UINT64_MAX, values["big"].get<uint64_t>());
  EXPECT_EQ(INT64_MIN, values["low"].get<int64_t>());
  EXPECT_EQ(0.1, values["f"].get<double>());
}

}  // namespace
