// The two process-wide flags that every layer reads. Each is one whole
// 32-bit atomic value, polled by the threads that depend on it.
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

// 1 while the TCP link takes write batches. Written by the link alone: set
// when the link comes up, cleared when it goes down or a write batch fails.
// The request walker reads it to decide whether a request's writes go out.
extern std::atomic<uint32_t> linkUp;
