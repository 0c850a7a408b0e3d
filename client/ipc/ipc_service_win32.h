// The Win32 side of the local IPC service: from the message's atom to a
// mapped view of the caller's request area, handed to the request walker.
#pragma once

#include <windows.h>

#include "ipc/request_walker.h"

// Serves one "FsasmLib:IPC" request, its write batch going to sender (the
// link); returns the message result, 1 or 0.
LRESULT HandleIpcRequest(ATOM atom, WriteBatchSender& sender);

// The bytes of the view, from its base, that the walker may touch: the
// committed pages at its start that this process can read and write, up to
// the first page that is not (an area made with SEC_RESERVE has pages that
// were never committed: a read of one faults). 0 when the first page is not
// committed or the platform cannot tell.
size_t CommittedViewSize(const void* view);
