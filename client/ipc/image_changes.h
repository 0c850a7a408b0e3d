// Whether the image changed, for a front end that shows changes as they land
// (the gateway's pushes of each change): a count of the changes (a data block,
// an update frame, a local write) and a hook that each change runs on the
// writer's thread. While no hook is set, a change costs two atomic operations.
#pragma once

#include <cstdint>

// Counts one change and runs the hook. The image's writers call it after they
// let go of the image lock.
void NoteImageChange();

// The changes so far (wraps modulo 2^64, never in practice).
uint64_t ImageChangeCount();

// From now on each change runs hook(context) on the thread that made it
// (nullptr: no hook). A hook must be short and never wait for anything that
// may wait for a writer: it runs on the link's and the add-ons' paths. Once
// this returns, the hook it replaced runs no more, so its context may go.
using ImageChangeHook = void (*)(void* context);
void SetImageChangeHook(ImageChangeHook hook, void* context);
