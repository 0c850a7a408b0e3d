// The link to the server, owned in one place: the two settings and the
// choice made from them (linkChoice), the beacon, unicast and TCP sockets with
// their three receivers, whether write batches go out, the name lookups, and
// the status the window shows. The connection supervisor drives it through
// LinkPort on the connection status thread; the front ends send their write
// batches through Writes() from any thread; the window paints CurrentStatus(); the
// shutdown calls Stop(). Name lookups run on threads of their own and never
// hold it up.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "link/link_choice.h"
#include "link/link_port.h"
#include "link/link_status.h"
#include "link/name_lookup.h"
#include "link/tcp_link.h"
#include "link/udp_receivers.h"

inline constexpr size_t kSettingTextSize = 100;  // a setting's text, as the settings file holds it

class Link final : public LinkPort {
 public:
  Link() = default;
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Start-up, once the settings are read and before any link thread exists:
  // "IP Address of THIS PC" and "IP Address of server" as typed.
  void Configure(const char* thisPc, const char* server);

  // LinkPort (the connection status thread).
  int Open(int quiet) override;
  void FindServer() override;
  ConnectResult Connect() override;
  uint32_t Server() override { return choice_.Server(); }
  uint32_t ShownSender() override;
  bool Up() override { return tcp_.LinkUp(); }
  void TakeDown() override { tcp_.TakeDown(); }
  void Close() override;
  void CopyServerHostName(char* out, size_t size) override;
  int LocalAddresses(uint32_t* out, int max) override;
  int ThisPcGone(uint32_t* address) override;
  int ListenAddressesChanged() override;
  void Publish(const LinkStatus& status) override { board_.Publish(status); }

  // The shutdown, from any thread: the TCP link closes now and its receivers
  // end; the supervisor's ending closes the rest.
  void Stop() { tcp_.Close(); }

  // What the status window shows, as last published.
  LinkStatus CurrentStatus() const { return board_.Snapshot(); }

  // Where the front ends send their write batches.
  WriteBatchSender& Writes() { return tcp_; }

  // Connects to server from the address that faces it, with the unicast port
  // bound there first; asks for the server's host name on the way. With this
  // PC's address set to auto, logs the address connected from. Done when
  // connected, else kFailed with the reason. Connect's step, and the tests'.
  Status ConnectTo(uint32_t server);

  // The parts, for tests.
  LinkChoice& Choice() { return choice_; }
  UdpReceivers& Udp() { return udp_; }
  TcpLink& Tcp() { return tcp_; }

 private:
  void AskHostName(uint32_t server);
  int BindAndJoin(NetSocket s, const uint32_t* listen, int count, uint32_t* joinedOn, int quiet, bool* bound);
  int TryFailed(const char* why, const char* reason);

  char thisPcSetting_[kSettingTextSize] = "";
  char serverSetting_[kSettingTextSize] = "";
  LinkChoice choice_;
  UdpReceivers udp_{choice_, serverSetting_};
  TcpLink tcp_{udp_};
  StatusBoard board_;
  // The connection status thread's:
  uint32_t socketLibraryStarts_ = 0;  // NetStartup calls not yet cleaned up
  NameLookup serverLookup_;           // the address of the server's name
  bool serverLookupAsked_ = false;    // a question of this opening not yet answered
  NameLookup hostNameLookup_;         // the host name of the server's address
  uint32_t hostNameAskedFor_ = 0;
  bool wasUp_ = false;  // a link was up since the last closing
};
