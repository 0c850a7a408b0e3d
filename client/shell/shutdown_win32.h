// The end of start-up (the named event, the connection status thread) and
// the two halves of the shutdown, which stop every thread before the shared
// resources go away. Main thread only.
#pragma once

class Link;

// Creates "IPCEvent" (automatic reset, not signalled). A failure is logged
// and shown; the program runs on without the event.
void CreateIpcEvent();

// Sets programRunning and starts the connection status thread on link.
void StartConnectionStatusThread(Link& link);

// WM_CLOSE or Exit, before the status window is destroyed: an error box
// that is open is told to close now, so that its end runs beside the
// window's (each takes a while under some window systems) instead of after it.
void ShutdownBegins();

// WM_DESTROY of the status window: stops the threads in order, writes the
// closing line, closes the event log, releases the bitmap and the event, and
// posts the quit message.
void ShutdownFirstHalf();

// After the message loop: clears programRunning again and, if the first
// half has not run (the loop ended by a quit message from elsewhere), does
// its work now. Returns exitCode.
int ShutdownSecondHalf(int exitCode);
