// What the server sends on its own clocks: beacons to the multicast group,
// rounds of data blocks on the connection (through the split and coalesce
// faults), update frames to the client for every changed byte, and the
// broken frames of the "bad" command. The frame buffers live in the .cpp;
// everything runs on the server's one thread.
#pragma once

#include "sim_wire.h"

// One beacon to the group.
void SendBeacon();

// One data block of every type in --block-types, on the connection.
void SendBlockRound();

// One step of the counters, then update frames for the changes unless
// updates are paused or off.
void Tick();

// One broken frame on transport t now (a problem line when there is no one
// to send it to).
void SendBadFrame(Transport t, BadKind kind);
