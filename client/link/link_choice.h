// Which server a link talks to and which address of this PC it uses. The
// two settings are read into numbers once, at start-up; the rest is chosen
// anew at each opening of the UDP sockets, from the adapters that are up then
// and the beacons heard, and every thread of the link asks this one place.
// Decisions only: the caller opens the sockets, asks the name service and
// writes the lines. Addresses are IPv4 in network byte order.
//
// Threads: Configure before any link thread exists; Open, the lookup calls,
// Connected and the checks on the connection status thread; Beacon on the
// multicast receiver (Open runs while no multicast receiver does);
// IsServer and Server anywhere.
#pragma once

#include <atomic>
#include <cstdint>

enum class SettingKind : uint8_t {
  kAuto,     // "auto": chosen at each opening
  kAddress,  // a dotted address
  kName,     // a host name (the server's setting only)
};

struct AddressSetting {
  SettingKind kind = SettingKind::kAddress;
  // kAddress: the address; kNetNoAddress for text that names no address a
  // datagram can come from (the server written with a leading zero, say).
  uint32_t address = 0xFFFFFFFFu;
};

// "IP Address of THIS PC": auto (any letter case), else the address as
// inet_addr reads the text.
AddressSetting ParseLocalSetting(const char* text);

// "IP Address of server": auto (any letter case); text of digits and dots is
// an address, which a sender matches only when the text is its standard
// dotted form; anything else is a host name.
AddressSetting ParseServerSetting(const char* text);

// Whether a datagram's source address can be a server's: not 0.0.0.0/8
// ("this network"), loopback, multicast or the reserved and broadcast block
// 240.0.0.0/4 (network byte order).
bool CanBeServer(uint32_t address);

inline constexpr int kMaxAdapters = 16;       // adapters an opening listens on at most
inline constexpr int kOthersNamed = 8;        // other beaconing hosts told apart per opening
inline constexpr uint64_t kLookupRetryMs = 4000;  // between tries of a server name that was not found
inline constexpr int kHostsKept = 8;           // beaconing hosts whose record the choice keeps
inline constexpr uint32_t kTriesBeforeGivingUp = 2;   // failed tries in a row that give a server up
inline constexpr uint32_t kFirstBackOffMs = 10000;    // how long a server given up waits the first time
inline constexpr uint32_t kLongestBackOffMs = 160000; // ... doubled at each giving up, at most this
inline constexpr uint64_t kHeardLatelyMs = 2000;      // a host heard this recently is there

// What a failed try at a server means for the link.
enum class TryVerdict {
  kAgain,     // try the same server again
  kGivenUp,   // the server is given up for a while (its back-off); the link has none now
};

// What a valid beacon means for the link.
enum class BeaconVerdict {
  kServer,    // from the server of this link
  kChosen,    // the first one heard with the server set to auto: its sender is the server now
  kOtherNew,  // from another host, the first time since the opening
  kOther,     // from another host heard before (or one more than are told apart)
};

class LinkChoice {
 public:
  // The settings as read, before the link starts.
  void Configure(const AddressSetting& local, const AddressSetting& server);
  const AddressSetting& LocalSetting() const { return local_; }
  const AddressSetting& ServerSetting() const { return server_; }

  // An opening of the UDP sockets, with the adapters that are up now: the
  // previous link's server (unless set) and this PC's address are forgotten.
  // Returns how many addresses the beacon socket joins the group on, put into
  // listenOn (room for kMaxAdapters): the set address, or every adapter.
  int Open(const uint32_t* adapters, int count, uint32_t* listenOn);

  // The server by name: whether a lookup is to be asked for now (the first
  // of an opening at once, then kLookupRetryMs after each failed one), and
  // its outcome. A found address becomes the server of this link.
  bool LookupDue(uint64_t nowMs);
  void LookupFound(uint32_t address);
  void LookupFailed(uint64_t nowMs);

  // A valid beacon from `from`, at nowMs (multicast receiver only). With the
  // server set to auto and none chosen, the sender becomes the server unless
  // it is given up for now, or its connections ended early and a host whose
  // link held was heard lately.
  BeaconVerdict Beacon(uint32_t from, uint64_t nowMs = 0);

  // The server of this link failed a try at nowMs: it refused or did not
  // answer the connection, or ended it before its first data block
  // (connection status thread). With the server set to auto or by name,
  // kTriesBeforeGivingUp of them in a row give it up: the link forgets it
  // (auto: the next host heard is chosen; a name: it is looked up again) and
  // it is chosen again only after its back-off, *backOffMs. A dotted server
  // is never given up.
  TryVerdict TryFailed(uint64_t nowMs, uint32_t* backOffMs);
  // The link to the server brought data: its record is clean again.
  void LinkHeld();

  // The server of this link: 0 while not known (auto before the first
  // beacon, a name before it is found).
  uint32_t Server() const { return server_address_.load(); }
  bool IsServer(uint32_t from) const { return from != 0 && from == server_address_.load(); }

  // The address update frames are to arrive on for a connection to the
  // server: the set one, or with auto the route's source (routeSource, 0
  // when there is no route: then any address).
  uint32_t ReceiveAddress(uint32_t routeSource) const;
  // The connection was made from localEnd: with auto, this PC's address.
  void Connected(uint32_t localEnd);
  // This PC's address for the link: the set one, or the facing one once
  // connected; 0 before.
  uint32_t ThisPc() const { return this_pc_.load(); }

  // Changes of the adapters, against those seen at the opening. An address
  // counts as gone only when it was seen there, so a platform that cannot
  // list its adapters never tears a working link down.
  // This PC's address was there and is gone.
  bool ThisPcGone(const uint32_t* adapters, int count) const;
  // An opening now would listen on other addresses: the set address is gone,
  // or (auto) an adapter came or went.
  bool ListenAddressesChanged(const uint32_t* adapters, int count) const;

 private:
  bool Seen(uint32_t address) const;

  AddressSetting local_;
  AddressSetting server_;
  std::atomic<uint32_t> server_address_{0};
  std::atomic<uint32_t> this_pc_{0};
  // The adapters at the opening (connection status thread).
  uint32_t opened_[kMaxAdapters] = {};
  int openedCount_ = 0;
  // The name lookups of this opening (connection status thread).
  bool lookupRunning_ = false;
  bool lookupTried_ = false;
  uint64_t lookupFailedMs_ = 0;
  // Other hosts heard since the opening (multicast receiver).
  uint32_t others_[kOthersNamed] = {};
  int otherCount_ = 0;

  // What the choice remembers of each beaconing host over the whole run
  // (Configure empties it). The multicast receiver adds hosts and writes
  // heardMs; the connection status thread writes the rest. Each field has
  // one writer, so atomics suffice.
  struct Host {
    std::atomic<uint32_t> address{0};
    std::atomic<uint64_t> heardMs{0};    // its last valid beacon
    std::atomic<uint64_t> retryAtMs{0};  // given up until then
    std::atomic<uint32_t> failures{0};   // failed tries in a row
    std::atomic<uint32_t> backOffMs{0};  // the next giving up's wait
    std::atomic<bool> heldOnce{false};   // a link to it has brought data
    std::atomic<bool> endedEarly{false}; // it was given up since its link last held
  };
  Host* Record(uint32_t address);
  Host* AddRecord(uint32_t address);
  bool Eligible(const Host& h, uint64_t nowMs) const;
  Host hosts_[kHostsKept];
  std::atomic<int> hostCount_{0};
  // The server failures of a server set by name (no host record).
  uint32_t nameFailures_ = 0;
};
