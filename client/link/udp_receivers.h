// The UDP side of the link: the multicast socket that hears the server's
// beacons and the unicast receiver that takes update frames on port 65100.
// Each receiver waits in one blocking receive per datagram; stopping it
// (StopBeacons, StopUnicastReceiver) cancels that receive until the receiver
// has ended, and only then closes its socket. Owned by the Link.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/protocol.h"
#include "link/link_choice.h"
#include "link/net.h"
#include "link/receiver_thread.h"
#include "link/stray_beacons.h"

class UdpReceivers {
 public:
  // choice: the link's; serverSetting: the server's setting as typed, for
  // the line about other hosts' beacons.
  UdpReceivers(LinkChoice& choice, const char* serverSetting) : choice_(choice), serverSetting_(serverSetting) {}

  // Takes the beacon socket that the link's opening made: bound to port
  // 54942, a member of the group on each address of joinedOn[0..count).
  // Called while no multicast receiver runs.
  void TakeMulticastSocket(NetSocket s, const uint32_t* joinedOn, int count);

  // Starts the multicast receiver thread (after waiting for an earlier one to
  // end). Returns 1, or 0 when it could not start.
  int StartMulticastReceiver();

  // Once the link is up, and when the link closes: leaves the group, stops
  // the multicast receiver and closes the socket, so that no joined socket
  // fills with beacons nobody reads. Failures are ignored.
  void StopBeacons();

  // Binds the unicast socket to address (0: any) port 65100 unless it is
  // bound already. The link binds it before it connects, so that the update
  // frames the server sends once it has accepted the connection find the port
  // open. 1 bound, 0 failed (silently: the link then goes on without update
  // frames).
  int OpenUnicastSocket(uint32_t address);

  // Used by the TCP receiver, which runs the unicast receiver beside itself:
  // Start starts the thread on the socket that OpenUnicastSocket bound (1, or
  // 0 when it could not start); Stop wakes the thread, waits for it to end
  // and closes the socket (also one that no receiver ever took).
  int StartUnicastReceiver();
  void StopUnicastReceiver();

  // What each receiver does with one received datagram (received bytes from
  // the source address from, network byte order): note the sender, apply the
  // sender filter (from is the server of the link), validate and count, apply
  // or log. With the server set to auto, the first valid beacon chooses it.
  // The threads call these after every receive; tests and the fuzzer call
  // them directly (update records are applied only while the unicast
  // receiver runs, or after AcceptUpdates).
  void TakeBeaconDatagram(const uint8_t* bytes, int received, uint32_t from);
  void TakeUpdateDatagram(const uint8_t* bytes, int received, uint32_t from);
  void AcceptUpdates(bool accept) { unicastReceiving_.store(accept ? 1 : 0); }

  // The source address of the latest datagram either receiver took, before
  // the sender filter (0 before the first).
  uint32_t LastSender() const { return lastSender_.load(); }

 private:
  void MulticastReceiverLoop();
  void UnicastReceiverLoop();
  void LogStrayBeacons();
  void TakeOtherBeacon(BeaconVerdict verdict, uint32_t from);

  LinkChoice& choice_;
  const char* serverSetting_;
  std::atomic<uint32_t> lastSender_{0};
  // Each receiver goes on while its flag is set and its socket is in its
  // atomic: set by its Start, cleared by whoever stops it.
  std::atomic<uint32_t> multicastReceiving_{0};
  std::atomic<uint32_t> unicastReceiving_{0};
  std::atomic<NetSocket> multicastSocket_{kNoSocket};
  std::atomic<NetSocket> unicastSocket_{kNoSocket};
  // The addresses multicastSocket_ joined the group on; written while no
  // multicast receiver runs, read when the socket is retired.
  uint32_t joinedOn_[kMaxAdapters] = {};
  int joinedCount_ = 0;
  ReceiverThread multicastReceiver_;
  ReceiverThread unicastReceiver_;
  // Beacons from hosts other than the configured server, after each opening.
  // Opened by TakeMulticastSocket while no multicast receiver runs, then the
  // receiver's.
  StrayBeaconWatch strayBeacons_;
  uint8_t multicastBuffer_[kReceiveBufferSize];  // the multicast receiver's
  uint8_t unicastBuffer_[kReceiveBufferSize];    // the unicast receiver's
};
