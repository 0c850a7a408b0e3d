// The link's choice of addresses: what the two settings mean, which server
// the beacons choose, which addresses an opening listens on, and when a
// change of the adapters takes the link down.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/link_choice.h"
#include "link/net.h"

namespace {

uint32_t A(const char* text) { return NetParseAddress(text); }

std::vector<uint32_t> Addresses(std::initializer_list<const char*> texts) {
  std::vector<uint32_t> out;
  for (const char* t : texts) out.push_back(A(t));
  return out;
}

TEST(LinkChoice, SettingsRead) {
  const struct {
    const char* text;
    SettingKind local, server;
    uint32_t localAddress, serverAddress;
  } cases[] = {
      {"auto", SettingKind::kAuto, SettingKind::kAuto, 0, 0},
      {"AuTo", SettingKind::kAuto, SettingKind::kAuto, 0, 0},
      {"192.168.1.40", SettingKind::kAddress, SettingKind::kAddress, A("192.168.1.40"), A("192.168.1.40")},
      // inet_addr's reading binds; only the standard form matches a sender.
      {"192.168.1.040", SettingKind::kAddress, SettingKind::kAddress, A("192.168.1.32"), kNetNoAddress},
      {"10.1", SettingKind::kAddress, SettingKind::kAddress, A("10.0.0.1"), kNetNoAddress},
      {"", SettingKind::kAddress, SettingKind::kAddress, kNetNoAddress, kNetNoAddress},
      {"simpc.local", SettingKind::kAddress, SettingKind::kName, kNetNoAddress, 0},
      {"autopilot", SettingKind::kAddress, SettingKind::kName, kNetNoAddress, 0},
      {"10.0.0.1x", SettingKind::kAddress, SettingKind::kName, kNetNoAddress, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const AddressSetting local = ParseLocalSetting(c.text), server = ParseServerSetting(c.text);
    EXPECT_EQ(c.local, local.kind);
    EXPECT_EQ(c.server, server.kind);
    if (local.kind == SettingKind::kAddress) {
      EXPECT_EQ(c.localAddress, local.address);
    }
    if (server.kind == SettingKind::kAddress) {
      EXPECT_EQ(c.serverAddress, server.address);
    }
  }
}

// The beacons one opening hears, in order, and what each means.
TEST(LinkChoice, BeaconsChooseTheServer) {
  using V = BeaconVerdict;
  const struct {
    const char* name;
    const char* server;
    std::vector<uint32_t> heard;
    std::vector<V> verdicts;
    uint32_t chosen;
  } cases[] = {
      {"auto: the first host, for the whole opening", "auto",
       Addresses({"10.0.0.2", "10.0.0.9", "10.0.0.2", "10.0.0.9", "10.0.0.5"}),
       {V::kChosen, V::kOtherNew, V::kServer, V::kOther, V::kOtherNew}, A("10.0.0.2")},
      {"a set server", "10.0.0.9", Addresses({"10.0.0.2", "10.0.0.9", "10.0.0.2"}),
       {V::kOtherNew, V::kServer, V::kOther}, A("10.0.0.9")},
      {"a name not yet found: nobody is the server", "simpc", Addresses({"10.0.0.2", "10.0.0.2"}),
       {V::kOtherNew, V::kOther}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LinkChoice choice;
    choice.Configure(ParseLocalSetting("auto"), ParseServerSetting(c.server));
    uint32_t listen[kMaxAdapters];
    const uint32_t adapter = A("10.0.0.1");
    choice.Open(&adapter, 1, listen);
    std::vector<V> verdicts;
    for (uint32_t from : c.heard) verdicts.push_back(choice.Beacon(from));
    EXPECT_EQ(c.verdicts, verdicts);
    EXPECT_EQ(c.chosen, choice.Server());
    EXPECT_EQ(c.chosen != 0, choice.IsServer(c.chosen));
    EXPECT_FALSE(choice.IsServer(0));
  }
}

TEST(LinkChoice, EachOpeningChoosesAnew) {
  LinkChoice choice;
  choice.Configure(ParseLocalSetting("auto"), ParseServerSetting("auto"));
  uint32_t listen[kMaxAdapters];
  const uint32_t adapter = A("10.0.0.1");
  choice.Open(&adapter, 1, listen);
  EXPECT_EQ(BeaconVerdict::kChosen, choice.Beacon(A("10.0.0.2")));
  choice.Connected(A("10.0.0.1"));
  EXPECT_EQ(A("10.0.0.1"), choice.ThisPc());
  choice.Open(&adapter, 1, listen);
  EXPECT_EQ(0u, choice.Server());
  EXPECT_EQ(0u, choice.ThisPc());
  EXPECT_EQ(BeaconVerdict::kChosen, choice.Beacon(A("10.0.0.9")));
  EXPECT_EQ(BeaconVerdict::kOtherNew, choice.Beacon(A("10.0.0.2")));  // named again in this opening
}

TEST(LinkChoice, OpeningListensOnTheSetAddressOrEveryAdapter) {
  const struct {
    const char* name;
    const char* local;
    std::vector<uint32_t> adapters;
    std::vector<uint32_t> listen;
  } cases[] = {
      {"set: that address, whatever the adapters", "10.0.0.1", Addresses({"192.168.5.9"}), Addresses({"10.0.0.1"})},
      {"auto: each adapter once", "auto", Addresses({"10.0.0.1", "192.168.5.9", "10.0.0.1"}),
       Addresses({"10.0.0.1", "192.168.5.9"})},
      {"auto, no adapter", "auto", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LinkChoice choice;
    choice.Configure(ParseLocalSetting(c.local), ParseServerSetting("auto"));
    uint32_t listen[kMaxAdapters];
    const int n = choice.Open(c.adapters.data(), int(c.adapters.size()), listen);
    EXPECT_EQ(c.listen, std::vector<uint32_t>(listen, listen + n));
  }
  // More adapters than are listened on: the first ones, and no change seen.
  std::vector<uint32_t> many;
  for (uint32_t i = 1; i <= kMaxAdapters + 4; ++i) many.push_back(A(("10.0.0." + std::to_string(i)).c_str()));
  LinkChoice choice;
  choice.Configure(ParseLocalSetting("auto"), ParseServerSetting("auto"));
  uint32_t listen[kMaxAdapters];
  EXPECT_EQ(kMaxAdapters, choice.Open(many.data(), int(many.size()), listen));
  EXPECT_FALSE(choice.ListenAddressesChanged(many.data(), int(many.size())));
}

// The adapters after the opening (and after the connection from 10.0.0.1):
// whether the link's address is gone, whether an opening would differ.
TEST(LinkChoice, AdapterChanges) {
  const auto atOpening = Addresses({"10.0.0.1", "192.168.5.9"});
  const struct {
    const char* name;
    const char* local;
    std::vector<uint32_t> now;
    bool thisPcGone, listenChanged;
  } cases[] = {
      {"auto, unchanged", "auto", Addresses({"192.168.5.9", "10.0.0.1"}), false, false},
      {"auto, the facing address gone", "auto", Addresses({"192.168.5.9"}), true, true},
      {"auto, another address gone", "auto", Addresses({"10.0.0.1"}), false, true},
      {"auto, replaced by another", "auto", Addresses({"10.0.0.3", "192.168.5.9"}), true, true},
      {"auto, an adapter more", "auto", Addresses({"10.0.0.1", "192.168.5.9", "172.16.0.4"}), false, true},
      {"set, unchanged", "10.0.0.1", atOpening, false, false},
      {"set, gone", "10.0.0.1", Addresses({"192.168.5.9"}), true, true},
      {"set, another adapter came", "10.0.0.1", Addresses({"10.0.0.1", "192.168.5.9", "172.16.0.4"}), false, false},
      // The platform did not list it at the opening: its lists prove nothing.
      {"set, never listed", "10.0.0.7", Addresses({"192.168.5.9"}), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LinkChoice choice;
    choice.Configure(ParseLocalSetting(c.local), ParseServerSetting("auto"));
    uint32_t listen[kMaxAdapters];
    choice.Open(atOpening.data(), int(atOpening.size()), listen);
    choice.Connected(A("10.0.0.1"));
    EXPECT_EQ(c.thisPcGone, choice.ThisPcGone(c.now.data(), int(c.now.size())));
    EXPECT_EQ(c.listenChanged, choice.ListenAddressesChanged(c.now.data(), int(c.now.size())));
  }
}

// The server by name: the first lookup at the opening, one more a few
// seconds after each failure, none once it is found or while one runs.
TEST(LinkChoice, ServerNameLookups) {
  LinkChoice choice;
  choice.Configure(ParseLocalSetting("auto"), ParseServerSetting("simpc"));
  uint32_t listen[kMaxAdapters];
  choice.Open(nullptr, 0, listen);
  EXPECT_TRUE(choice.LookupDue(1000));
  EXPECT_FALSE(choice.LookupDue(1500));  // under way
  choice.LookupFailed(9000);
  EXPECT_FALSE(choice.LookupDue(9000 + kLookupRetryMs - 1));
  EXPECT_TRUE(choice.LookupDue(9000 + kLookupRetryMs));
  choice.LookupFound(A("10.0.0.2"));
  EXPECT_EQ(A("10.0.0.2"), choice.Server());
  EXPECT_FALSE(choice.LookupDue(60000));
  choice.Open(nullptr, 0, listen);  // each opening looks the name up again
  EXPECT_EQ(0u, choice.Server());
  EXPECT_TRUE(choice.LookupDue(60000));

  LinkChoice dotted;
  dotted.Configure(ParseLocalSetting("auto"), ParseServerSetting("10.0.0.2"));
  dotted.Open(nullptr, 0, listen);
  EXPECT_FALSE(dotted.LookupDue(0));
  EXPECT_EQ(A("10.0.0.2"), dotted.Server());
}

}  // namespace

namespace {

// A run of the choice as the link drives it: beacons, failed tries, links
// that held, openings, each at its time; after each step the server of the
// link. "try" steps give the back-off expected (0: tried again).
struct Step {
  uint64_t at;
  const char* what;  // "beacon", "fail", "held", "open"
  const char* host;  // beacon: the sender
  uint32_t backOff;  // fail: the back-off it gives (0: kAgain)
  const char* server;  // the server after the step ("" none)
};

void RunChoice(const char* setting, std::initializer_list<Step> steps) {
  LinkChoice choice;
  choice.Configure(ParseLocalSetting("auto"), ParseServerSetting(setting));
  uint32_t listen[kMaxAdapters];
  const uint32_t adapter = A("10.0.0.1");
  choice.Open(&adapter, 1, listen);
  int n = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << "step " << ++n << ": " << s.what << " " << s.host << " at " << s.at);
    const std::string what = s.what;
    if (what == "beacon") {
      choice.Beacon(A(s.host), s.at);
    } else if (what == "fail") {
      uint32_t backOff = 99;
      const TryVerdict v = choice.TryFailed(s.at, &backOff);
      EXPECT_EQ(s.backOff == 0 ? TryVerdict::kAgain : TryVerdict::kGivenUp, v);
      EXPECT_EQ(s.backOff, backOff);
    } else if (what == "held") {
      choice.LinkHeld();
    } else {
      choice.Open(&adapter, 1, listen);
    }
    EXPECT_EQ(*s.server == '\0' ? 0u : A(s.server), choice.Server());
  }
}

constexpr uint32_t k1 = kFirstBackOffMs;

TEST(LinkChoice, AServerThatTakesNoConnectionIsGivenUp) {
  // Heard first, refuses twice: given up; its beacons choose nothing until
  // its back-off has passed, another host's do.
  RunChoice("auto", {{1000, "beacon", "10.0.0.66", 0, "10.0.0.66"},
               {1500, "fail", "", 0, "10.0.0.66"},
               {2000, "fail", "", k1, ""},
               {2050, "beacon", "10.0.0.66", 0, ""},
               {5000, "beacon", "10.0.0.2", 0, "10.0.0.2"},
               {5100, "held", "", 0, "10.0.0.2"}});
  // Alone, it is tried again after each back-off, which doubles.
  RunChoice("auto", {{0, "beacon", "10.0.0.66", 0, "10.0.0.66"},
               {500, "fail", "", 0, "10.0.0.66"},
               {1000, "fail", "", k1, ""},
               {1000 + k1 - 1, "beacon", "10.0.0.66", 0, ""},
               {1000 + k1, "beacon", "10.0.0.66", 0, "10.0.0.66"},
               {1500 + k1, "fail", "", 0, "10.0.0.66"},
               {2000 + k1, "fail", "", 2 * k1, ""},
               {2000 + 3 * k1, "beacon", "10.0.0.66", 0, "10.0.0.66"},
               // A link that held: the record is clean, the next giving up waits the first time again.
               {2100 + 3 * k1, "held", "", 0, "10.0.0.66"},
               {2200 + 3 * k1, "fail", "", 0, "10.0.0.66"},
               {2300 + 3 * k1, "fail", "", k1, ""}});
}

TEST(LinkChoice, BackOffsDoubleUpToTheLongest) {
  LinkChoice choice;
  choice.Configure(ParseLocalSetting("auto"), ParseServerSetting("auto"));
  uint32_t listen[kMaxAdapters];
  const uint32_t adapter = A("10.0.0.1");
  choice.Open(&adapter, 1, listen);
  uint64_t now = 0;
  std::vector<uint32_t> waits;
  for (int i = 0; i < 7; ++i) {
    ASSERT_EQ(BeaconVerdict::kChosen, choice.Beacon(A("10.0.0.66"), now));
    uint32_t wait = 0;
    for (uint32_t t = 0; t < kTriesBeforeGivingUp; ++t) choice.TryFailed(now, &wait);
    waits.push_back(wait);
    now += wait;
  }
  EXPECT_EQ((std::vector<uint32_t>{k1, 2 * k1, 4 * k1, 8 * k1, 16 * k1, kLongestBackOffMs, kLongestBackOffMs}),
            waits);
}

TEST(LinkChoice, AHostWhoseLinkHeldRanksAboveOneGivenUp) {
  RunChoice("auto", {// B drops its links without data and is given up; A's link holds.
               {0, "beacon", "10.0.0.8", 0, "10.0.0.8"},
               {100, "fail", "", 0, "10.0.0.8"},
               {200, "open", "", 0, ""},
               {300, "beacon", "10.0.0.8", 0, "10.0.0.8"},
               {400, "fail", "", k1, ""},
               {500, "beacon", "10.0.0.2", 0, "10.0.0.2"},
               {600, "held", "", 0, "10.0.0.2"},
               // Long after B's back-off, a new opening: B beacons first, but A is heard too.
               {100000, "open", "", 0, ""},
               {100000, "beacon", "10.0.0.2", 0, "10.0.0.2"},
               {100010, "open", "", 0, ""},
               {100020, "beacon", "10.0.0.8", 0, ""},
               {100030, "beacon", "10.0.0.2", 0, "10.0.0.2"},
               // A not heard lately: B is all there is.
               {200000, "open", "", 0, ""},
               {200000, "beacon", "10.0.0.8", 0, "10.0.0.8"}});
}

TEST(LinkChoice, SetServersAreNeverGivenUpNamesAreLookedUpAgain) {
  RunChoice("10.0.0.2", {{0, "fail", "", 0, "10.0.0.2"}, {500, "fail", "", 0, "10.0.0.2"}, {1000, "fail", "", 0, "10.0.0.2"}});
  LinkChoice choice;
  choice.Configure(ParseLocalSetting("auto"), ParseServerSetting("simpc"));
  uint32_t listen[kMaxAdapters];
  const uint32_t adapter = A("10.0.0.1");
  choice.Open(&adapter, 1, listen);
  ASSERT_TRUE(choice.LookupDue(0));
  choice.LookupFound(A("10.0.0.2"));
  uint32_t wait = 0;
  EXPECT_EQ(TryVerdict::kAgain, choice.TryFailed(100, &wait));
  EXPECT_EQ(TryVerdict::kGivenUp, choice.TryFailed(600, &wait));
  EXPECT_EQ(0u, choice.Server());
  EXPECT_FALSE(choice.LookupDue(600 + kLookupRetryMs - 1));
  EXPECT_TRUE(choice.LookupDue(600 + kLookupRetryMs));
}

}  // namespace
