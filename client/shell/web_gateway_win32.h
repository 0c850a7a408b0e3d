// The client's web gateway: started at the end of start-up, stopped first by
// the shutdown, its address shown from the Web menu. Main thread only.
#pragma once

#include <windows.h>

class Link;

// Reads "[Web Server]" and the write key and starts the gateway over link
// (not at all with Port = 0). One event-log line says where it listens, or
// why it does not; the client runs on without it, with no box.
void StartWebGateway(Link& link);

// Closes every web connection and ends the gateway's threads; later calls do
// nothing.
void StopWebGateway();

// The Web menu's box: the address to open on a tablet (key included) and the
// web clients connected now.
void ShowWebAddress(HWND owner);
