// The connection supervisor: the connection status thread that drives the
// link with a 500 ms tick (INIT, NOT_CONNECTED, UDP_CONNECTED,
// UDP_TCP_CONNECTED, DEINIT) and publishes what the window shows on the link.
// It never touches the window itself: it asks the shell through
// StatusWindowPort.
#pragma once

class Link;

// What the supervisor needs from the window; the shell implements it and
// unit tests fake it. Both methods are called on the supervisor thread.
class StatusWindowPort {
 public:
  // Marks the whole client area invalid without erasing it.
  virtual void RequestRepaint() = 0;
  // Shows a warning box owned by the status window and returns at once; the
  // box stays until the user or the shutdown closes it.
  virtual void ShowError(const char* text, const char* caption) = 0;

 protected:
  ~StatusWindowPort() = default;
};

// Thread entry. Runs until programRunning is cleared, then closes the link
// and returns.
void ConnectionStatusThread(Link* link, StatusWindowPort* window);
