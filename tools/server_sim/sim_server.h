// The simulated server's run. One thread does all of it in a loop of short
// waits: beacons, data blocks and update frames on their own clocks, the
// listener and the one connection, write batches into the image, control
// commands, the status file. Nothing else touches the image, so it needs no
// lock.
#pragma once

#include "sim_options.h"

// Runs until "quit", the end of --duration, or a signal. Returns the exit
// code: 0 after a normal end, 1 when it could not start (the reason is
// printed to standard error).
int RunServer(const SimOptions& options);
