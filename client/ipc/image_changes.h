// Whether the image changed, for a front end that shows changes as they land
// (the gateway's pushes of each change): a count of the changes (a data block,
// an update frame, a local write) and a wait for the next one. While nobody
// waits, a change costs one atomic add and one atomic load.
#pragma once

#include <cstdint>

// Counts one change and wakes whoever waits for it. The image's writers call
// it after they let go of the image lock.
void NoteImageChange();

// The changes so far (wraps modulo 2^64, never in practice).
uint64_t ImageChangeCount();

// Waits up to ms until the count differs from seen (at once when it does
// already) or WakeImageWatchers is called; returns the count then.
uint64_t WaitForImageChange(uint64_t seen, uint32_t ms);

// Ends every wait now (a watcher that is stopping).
void WakeImageWatchers();
