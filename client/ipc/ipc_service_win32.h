// The Win32 side of the local IPC service: from the message's atom to a
// mapped view of the caller's request area, handed to the request walker.
#pragma once

#include <windows.h>

#include "ipc/request_walker.h"

// Serves one "FsasmLib:IPC" request, its write batch going to send (the
// link's forwarding); returns the message result, 1 or 0.
LRESULT HandleIpcRequest(ATOM atom, WriteBatchSender send);
