// The UDP side of the link: the multicast socket that hears the server's
// beacons and the unicast receiver that takes update frames on port 65100.
// Each receiver waits in one blocking receive per datagram; stopping it
// (CloseUdp, StopUnicastReceiver) cancels that receive until the receiver
// has ended, and only then closes its socket.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "link/net.h"

// Source address (IPv4, network byte order) of the most recent datagram that
// either receiver took, stored before the sender filter. Written by the two
// UDP receivers; read by the supervisor.
extern std::atomic<uint32_t> lastSenderAddress;

// Takes the beacon socket that the link's opening made: bound to port
// 54942, a member of the group on each address of joinedOn[0..count).
// Called while no multicast receiver runs.
void TakeMulticastSocket(NetSocket s, const uint32_t* joinedOn, int count);

// Sets multicastReceiving and starts the multicast receiver thread (after
// waiting for an earlier one to end). Returns 1, or 0 when it could not start.
int StartMulticastReceiver();

// Waits until the multicast receiver thread (if one was started) has ended.
void JoinMulticastReceiver();

// One step of CloseLink, and the end of beacons once the link is up: leaves
// the group, stops the multicast receiver and closes the socket, so that no
// joined socket fills with beacons nobody reads. Failures are ignored.
void CloseUdp();

// Binds unicastSocket to address (0: any) port 65100 unless it is bound
// already. The link binds it before it connects, so that the update frames
// the server sends once it has accepted the connection find the port open.
// 1 bound, 0 failed (silently: the link then goes on without update frames).
int OpenUnicastSocket(uint32_t address);

// Used by the TCP receiver, which runs the unicast receiver beside itself:
// Start sets unicastReceiving and starts the thread on the socket that
// OpenUnicastSocket bound (1, or 0 when it could not start); Stop clears the
// flag, wakes the thread, waits for it to end and closes unicastSocket (also
// one that no receiver ever took).
int StartUnicastReceiver();
void StopUnicastReceiver();

// What each receiver does with one received datagram (received bytes from
// the source address from, network byte order): note the sender, apply the
// sender filter (from is the server of the link, linkChoice), validate and
// count, apply or log. With the server set to auto, the first valid beacon
// chooses it. The threads call these after every receive; tests and the
// fuzzer call them directly.
void TakeBeaconDatagram(const uint8_t* bytes, int received, uint32_t from);
void TakeUpdateDatagram(const uint8_t* bytes, int received, uint32_t from);
