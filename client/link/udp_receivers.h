// The UDP side of the link: the multicast socket that hears the server's
// beacons and the unicast receiver that takes update frames on port 65100.
// Each receiver waits in 100 ms slices and re-checks its flag and socket, so
// clearing the flag or closing the socket ends it promptly on every platform.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Source address (IPv4, network byte order) of the most recent datagram that
// either receiver took, stored before the sender filter. Written by the two
// UDP receivers; read by the supervisor.
extern std::atomic<uint32_t> lastSenderAddress;

// Source address (network byte order) of the most recent beacon that passed
// the sender filter: the configured server, where TCP connects. 0 before the
// first one. Written by the multicast receiver; read by the supervisor.
extern std::atomic<uint32_t> serverBeaconAddress;

// Starts the socket library, binds multicastSocket to localIpAddress port
// 54942 and joins 239.192.0.10. Returns 1 opened, 0 failed (logged).
int OpenUdp();

// Sets multicastReceiving and starts the multicast receiver thread (after
// waiting for an earlier one to end). Returns 1, or 0 when it could not start.
int StartMulticastReceiver();

// Waits until the multicast receiver thread (if one was started) has ended.
void JoinMulticastReceiver();

// Copies the host name of the configured server, as the last accepted beacon
// gave it, into out (NUL-terminated).
void CopyServerHostName(char* out, size_t size);

// One step of CloseLink: leaves the group, shuts multicastSocket down, waits for
// the multicast receiver to end, closes the socket and cleans up the socket
// library if OpenUdp started it. Failures are ignored.
void CloseUdp();

// Binds unicastSocket to localIpAddress port 65100 unless it is bound
// already. The TCP link calls it before it connects, so that the update
// frames the server sends once it has accepted the connection find the port
// open. 1 bound, 0 failed (silently: the link then goes on without update
// frames).
int OpenUnicastSocket();

// Used by the TCP receiver, which runs the unicast receiver beside itself:
// Start sets unicastReceiving and starts the thread on the socket that
// OpenUnicastSocket bound (1, or 0 when it could not start); Stop clears the
// flag, wakes the thread, waits for it to end and closes unicastSocket (also
// one that no receiver ever took).
int StartUnicastReceiver();
void StopUnicastReceiver();

// What each receiver does with one received datagram (received bytes from
// the source address from, network byte order): note the sender, apply the
// sender filter (dotted text of from equal to serverIpAddress), validate and
// count, apply or log. The beacon path also looks up the server's host name.
// The threads call these after every receive; tests and the fuzzer call them
// directly.
void TakeBeaconDatagram(const uint8_t* bytes, int received, uint32_t from);
void TakeUpdateDatagram(const uint8_t* bytes, int received, uint32_t from);

// 1 when the dotted text of address equals serverIpAddress character for
// character, else 0.
int SenderIsServer(uint32_t address);
