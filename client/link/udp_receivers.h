// The UDP side of the link: the multicast socket that hears the server's
// beacons and the unicast receiver that takes update frames on port 65100.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Source address (IPv4, network byte order) of the most recent datagram that
// either receiver took, stored before the sender filter.
extern std::atomic<uint32_t> lastSenderAddress;

// Source address (network byte order) of the most recent beacon that passed
// the sender filter: the configured server, where TCP connects. 0 before the
// first one.
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
