// The running server's state and what it tells the world about itself: the
// event lines on standard output, the problem lines on standard error and
// the status file. Everything here belongs to the server's one thread (the
// loop in sim_server.cpp and what it calls); nothing else touches it, so it
// needs no lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "link/net.h"
#include "sim_control.h"
#include "sim_image.h"
#include "sim_journal.h"
#include "sim_options.h"

using Clock = std::chrono::steady_clock;

// A periodic job: fires every periodMs while active; 0 = off.
struct Schedule {
  double periodMs = 0;
  double next = 0;
};

struct Stats {
  uint64_t beacons = 0, blocks = 0, updates = 0, updateRecords = 0, batches = 0;
  uint64_t badReceived = 0, badSent = 0, splits = 0, coalesced = 0, connections = 0;
  uint64_t commands = 0, errors = 0;
};

struct Server {
  SimOptions opt;
  Clock::time_point start;
  uint32_t address = 0, group = 0, clientOverride = 0;
  NetSocket udp = kNoSocket, listener = kNoSocket, conn = kNoSocket;
  uint32_t connAddress = 0;
  uint16_t connPort = 0;
  bool listenWanted = true;
  bool dropConnections = false;  // drop: new connections closed at once
  bool applyWrites = true;       // noapply: write batches only journaled
  bool running = true;
  uint32_t paused = 0;  // kStream* bits
  double beaconHz = 0, blockHz = 0, updateHz = 0;
  Schedule beaconClock, blockClock, tickClock;
  uint32_t blockTag = 0;
  uint32_t tagTurn = 0;
  bool splitArmed = false;
  uint32_t splitDelayMs = 0, splitAt = 0;
  uint32_t coalesceWanted = 0, coalesceHeld = 0, coalesceBytes = 0;
  Journal journal;
  FILE* stamps = nullptr;  // --stamps: one line per update frame sent
  uint64_t receivedNs = 0;  // receive stamp of the bytes being taken
  ControlChannel control;
  Stats stats;
};

// The one server and its image: set up and torn down by sim_server.cpp,
// read and written by every part of the server on its one thread.
extern Server server;
extern SimImage image;

// Milliseconds since the server started.
double NowMs();

// An event line "[SECONDS] text" on standard output, unless --quiet.
void Event(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A problem line "server_sim: text" on standard error; counts as an error
// in the status file.
void Problem(const char* format, ...) __attribute__((format(printf, 1, 2)));

// An address in dotted form.
std::string Dotted(uint32_t a);

// Rewrites the status file (--status), if there is one.
void WriteStatus();
