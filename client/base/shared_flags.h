// Whether the program runs: the one process-wide flag that every layer reads,
// and the wake-up of the waits that depend on it.
#pragma once

#include <atomic>
#include <cstdint>

// 1 from the start of the connection status thread to the shutdown. Written
// by the shell (set at start-up, cleared by the shutdown through StopRunning);
// the link's threads run while it is set.
extern std::atomic<uint32_t> programRunning;

// Clears programRunning and wakes every WaitWhileRunning at once.
void StopRunning();

// Waits up to ms while programRunning is set: one wait, however long, that
// StopRunning ends early. Returns 1 when the time passed, 0 when the program
// is stopping.
int WaitWhileRunning(uint32_t ms);

